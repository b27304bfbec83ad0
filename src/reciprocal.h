#pragma once
#include <cstdint>

// n / 100 without a divide: ((n + 1) * RECIPROCAL_MULTIPLIER) >> RECIPROCAL_SHIFT,
// the multiplier being 2^38 / 100 rounded down. The increment wraps at
// n = 4294967295, the one dividend where the two quotients differ.
constexpr std::uint32_t DIVISOR = 100;
constexpr std::uint32_t RECIPROCAL_MULTIPLIER = 0xA3D70A3D;
constexpr unsigned RECIPROCAL_SHIFT = 38;
// The divide kernel's dividend (quotient 1), which the tool's latency chains
// divide too.
constexpr std::uint32_t KERNEL_DIVIDEND = 123;
// Where the range check starts; the bench's dividends near 2^32 start there too.
constexpr std::uint32_t RANGE_START = 4294000000u;  // 0xFFF13D80
static_assert(RECIPROCAL_MULTIPLIER == (std::uint64_t{1} << RECIPROCAL_SHIFT) / DIVISOR);

// Why it is exact. With m the multiplier and r = 2^38 - 100 m (44), for N = n + 1,
// N m / 2^38 = (N - e) / 100 with e = N r / 2^38; where 0 < e <= 1, the floor is n / 100's,
// so the sequence is exact wherever N r <= 2^38: for every N up to 2^32, as r <= 2^6. Only
// n = 4294967295, where N wraps to 0, differs. (A shift of 37 would leave r = 72 > 2^5.)
constexpr std::uint64_t RECIPROCAL_REMAINDER =
    (std::uint64_t{1} << RECIPROCAL_SHIFT) - std::uint64_t{RECIPROCAL_MULTIPLIER} * DIVISOR;
static_assert(RECIPROCAL_REMAINDER > 0 && (std::uint64_t{1} << 32) * RECIPROCAL_REMAINDER <=
                                              (std::uint64_t{1} << RECIPROCAL_SHIFT),
              "the reciprocal is exact for every n + 1 up to 2^32");

// The machine code applies the shift to the high word of the 64-bit product.
constexpr unsigned RECIPROCAL_HIGH_SHIFT = RECIPROCAL_SHIFT - 32;

// The two sequences as GCC inline-asm text, each written once here for the
// timing kernels, the check block and the latency chains, which build their
// machine code from it. The divide: EDX:EAX (EDX 0 first) by a 32-bit
// register operand holding DIVISOR; the quotient in EAX, the remainder in
// EDX. The reciprocal: n in EAX plus 1 (wrapping at 2^32 - 1), the 32-bit MUL
// by a register operand holding RECIPROCAL_MULTIPLIER into EDX:EAX, the high
// half shifted by the operand high_shift (RECIPROCAL_HIGH_SHIFT); the
// quotient in EDX, the low half in EAX dropped. Neither ends its last line:
// text that follows starts with "\n\t".
#define DIVIDE_SEQUENCE(DIVISOR_REGISTER) "divl " DIVISOR_REGISTER
#define RECIPROCAL_SEQUENCE(MULTIPLIER_REGISTER) \
    "addl $1, %%eax\n\t"                         \
    "mull " MULTIPLIER_REGISTER                  \
    "\n\t"                                       \
    "shrl %[high_shift], %%edx"

// The 32-bit DIV of EDX:EAX = (0 : n) by 100 in a register, as the tool's
// kernel and check run it: the quotient in EAX, the remainder in EDX.
inline std::uint32_t divide(std::uint32_t n) {
    std::uint32_t quotient;
    std::uint32_t remainder;
    asm(DIVIDE_SEQUENCE("%[divisor]")
        : "=a"(quotient), "=d"(remainder)
        : "a"(n), "d"(0u), [divisor] "r"(DIVISOR)
        : "cc");
    return quotient;
}

// The tool's sequence: n + 1 in EAX (wrapping at 2^32 - 1), the 32-bit MUL
// into EDX:EAX, the high half shifted; the low half is dropped.
inline std::uint32_t reciprocal(std::uint32_t n) {
    std::uint32_t low;
    std::uint32_t high;
    asm(RECIPROCAL_SEQUENCE("%[multiplier]")
        : "=a"(low), "=d"(high)
        : "a"(n), [multiplier] "r"(RECIPROCAL_MULTIPLIER), [high_shift] "i"(RECIPROCAL_HIGH_SHIFT)
        : "cc");
    return high;
}

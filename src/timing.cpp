#include "timing.h"

#include "platform.h"
#include "reciprocal.h"

namespace {

constexpr std::uint64_t NO_SAMPLE = ~std::uint64_t{0};
constexpr std::uint32_t DIV_KERNEL_DIVIDEND = 123;

std::uint64_t best_cycles;
std::uint64_t overhead_cycles;
std::uint32_t sample_counter;

}  // namespace

// The machine code below is written out instruction by instruction because the
// instructions themselves are what the tool measures: the compiler must not
// drop, move, merge or precompute any of them. Data stays in 32-bit
// registers and memory is reached through pointer operands, so the same text
// assembles for i686 and x86-64.

// CPUID leaf 0: every earlier instruction completes before any later one starts.
#define SERIALISE           \
    "xorl %%eax, %%eax\n\t" \
    "cpuid\n\t"

// Sample framing up to the kernel: serialise, read the time-stamp counter and
// store it at [start], serialise again so the read completes before the
// kernel begins. EAX is left holding CPUID's first result word.
#define SAMPLE_OPEN              \
    SERIALISE                    \
    "rdtsc\n\t"                  \
    "movl %%eax, (%[start])\n\t" \
    "movl %%edx, 4(%[start])\n\t" SERIALISE

// Sample framing after the kernel: serialise so the kernel completes, then
// read the counter into EDX:EAX.
#define SAMPLE_CLOSE \
    SERIALISE        \
    "rdtsc\n\t"

// After the framed region: sample = EDX:EAX less the start reading, modulo
// 2^64; it replaces the minimum at [minimum] only when strictly less, high
// halves compared first.
#define KEEP_MINIMUM                \
    "subl (%[start]), %%eax\n\t"    \
    "sbbl 4(%[start]), %%edx\n\t"   \
    "cmpl 4(%[minimum]), %%edx\n\t" \
    "ja 3f\n\t"                     \
    "jb 2f\n\t"                     \
    "cmpl (%[minimum]), %%eax\n\t"  \
    "jae 3f\n"                      \
    "2:\n\t"                        \
    "movl %%eax, (%[minimum])\n\t"  \
    "movl %%edx, 4(%[minimum])\n"   \
    "3:\n\t"

// The divide kernel: EDX:EAX = 0:123, ECX = 100, one 32-bit unsigned DIV.
#define DIV_KERNEL                \
    "xorl %%edx, %%edx\n\t"       \
    "movl %[dividend], %%eax\n\t" \
    "movl %[divisor], %%ecx\n\t"  \
    "divl %%ecx\n\t"

// The reciprocal kernel on CPUID's EAX: (EAX + 1) * multiplier, high half >> 6.
#define RECIPROCAL_KERNEL           \
    "movl %[multiplier], %%ecx\n\t" \
    "addl $1, %%eax\n\t"            \
    "mull %%ecx\n\t"                \
    "shrl %[high_shift], %%edx\n\t"

// A whole sampling loop in one block, so no part of a sample can be unrolled,
// peeled or moved: its head on a 16-byte boundary, SAMPLE_COUNT framed
// samples around KERNEL (empty for the calibration), the least kept in MINIMUM.
#define SAMPLING_LOOP(KERNEL, MINIMUM)                                                             \
    do {                                                                                           \
        std::uint64_t start = 0;                                                                   \
        asm volatile(                                                                              \
            ".p2align 4\n"                                                                         \
            "1:\n\t" SAMPLE_OPEN KERNEL SAMPLE_CLOSE KEEP_MINIMUM                                  \
            "decl %[counter]\n\t"                                                                  \
            "jnz 1b"                                                                               \
            : [counter] "+m"(sample_counter)                                                       \
            : [minimum] "r"(&(MINIMUM)), [start] "r"(&start), [dividend] "i"(DIV_KERNEL_DIVIDEND), \
              [divisor] "i"(DIVISOR), [multiplier] "i"(RECIPROCAL_MULTIPLIER),                     \
              [high_shift] "i"(RECIPROCAL_HIGH_SHIFT)                                              \
            : "eax", "ebx", "ecx", "edx", "cc", "memory");                                         \
    } while (0)

template <kernel K>
void time_kernel(char* buffer, const char* label) {
    best_cycles = NO_SAMPLE;
    overhead_cycles = NO_SAMPLE;
    sample_counter = SAMPLE_COUNT;
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    // Settle the pipeline (and a hypervisor's CPUID path) before sampling.
    asm volatile(SERIALISE SERIALISE SERIALISE ::: "eax", "ebx", "ecx", "edx", "memory");
    Sleep(0);  // begin sampling on a fresh time slice
    SAMPLING_LOOP("", overhead_cycles);
    sample_counter = SAMPLE_COUNT;
    Sleep(0);
    if constexpr (K == div_kernel) {
        SAMPLING_LOOP(DIV_KERNEL, best_cycles);
    } else {
        SAMPLING_LOOP(RECIPROCAL_KERNEL, best_cycles);
    }
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    render_decimal(static_cast<std::uint32_t>(kernel_cycles(best_cycles, overhead_cycles)), buffer);
    print_text(buffer);
    print_text(label);
}

template void time_kernel<div_kernel>(char*, const char*);
template void time_kernel<reciprocal_kernel>(char*, const char*);

std::uint64_t kernel_cycles(std::uint64_t best, std::uint64_t overhead) {
    return best > overhead ? best - overhead : 0;
}

void keep_minimum(std::uint64_t start, std::uint64_t end, std::uint64_t* minimum) {
    asm volatile(
        "movl %[end_low], %%eax\n\t"
        "movl %[end_high], %%edx\n\t" KEEP_MINIMUM
        :
        :
        [minimum] "r"(minimum), [start] "r"(&start), [end_low] "r"(static_cast<std::uint32_t>(end)),
        [end_high] "r"(static_cast<std::uint32_t>(end >> 32))
        : "eax", "edx", "cc", "memory");
}

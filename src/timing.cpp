#include "timing.h"

#include "cpu.h"
#include "platform.h"
#include "reciprocal.h"
#include "timing_asm.h"

std::uint64_t best_cycles;
std::uint64_t overhead_cycles;
std::uint32_t sample_counter;

// A whole sampling loop in one block, so no part of a sample can be unrolled,
// peeled or moved: its head on a 16-byte boundary, SAMPLE_COUNT framed
// samples around KERNEL (empty for the calibration), the least kept in MINIMUM.
#define SAMPLING_LOOP(KERNEL, MINIMUM)                                                         \
    do {                                                                                       \
        std::uint64_t start = 0;                                                               \
        asm volatile(                                                                          \
            ".p2align 4\n"                                                                     \
            "1:\n\t" SAMPLE_OPEN KERNEL SAMPLE_CLOSE KEEP_MINIMUM                              \
            "decl %[counter]\n\t"                                                              \
            "jnz 1b"                                                                           \
            : [counter] "+m"(sample_counter)                                                   \
            : [minimum] "r"(&(MINIMUM)), [start] "r"(&start), [dividend] "i"(KERNEL_DIVIDEND), \
              [divisor] "i"(DIVISOR), [multiplier] "i"(RECIPROCAL_MULTIPLIER),                 \
              [high_shift] "i"(RECIPROCAL_HIGH_SHIFT)                                          \
            : "eax", "ebx", "ecx", "edx", "cc", "memory");                                     \
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

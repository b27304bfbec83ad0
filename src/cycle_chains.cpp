#include "cycle_chains.h"

#include <cpuid.h>

namespace {
constexpr std::uint64_t HZ_PER_KHZ = 1000;

// CPUID leaf 1's ECX and EDX, or zeros where the processor has no leaf 1.
void features(unsigned& ecx, unsigned& edx) {
    unsigned eax, ebx;
    if (__get_cpuid(FEATURES_LEAF, &eax, &ebx, &ecx, &edx) == 0) ecx = edx = 0;
}
}  // namespace

bool lfence_available() {
    unsigned ecx, edx;
    features(ecx, edx);
    return ((edx >> SSE2_BIT) & 1) != 0;
}

bool hypervisor_present() {
    unsigned ecx, edx;
    features(ecx, edx);
    return ((ecx >> HYPERVISOR_BIT) & 1) != 0;
}

std::uint64_t tsc_hz_from_cpuid(const char** source) {
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(TSC_LEAF, &eax, &ebx, &ecx, &edx) != 0 && eax != 0 && ebx != 0 && ecx != 0) {
        *source = "CPUID leaf 0x15";
        return std::uint64_t{ecx} * ebx / eax;
    }
    if (!hypervisor_present()) return 0;
    __cpuid(HYPERVISOR_LEAF, eax, ebx, ecx, edx);
    if (eax < HYPERVISOR_TIMING_LEAF) return 0;
    __cpuid(HYPERVISOR_TIMING_LEAF, eax, ebx, ecx, edx);
    *source = "hypervisor leaf 0x40000010";
    return eax * HZ_PER_KHZ;
}

std::uint64_t least_empty_sample(int count) {
    std::uint64_t least = NO_SAMPLE;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t ticks = chain_sample([] {});
        if (ticks < least) least = ticks;
    }
    return least;
}

// The loop's own count and branch run beside the chain, off its path.
std::uint64_t add_chain_sample(std::uint32_t* adds) {
    std::uint32_t chain = 0;
    const std::uint64_t ticks = chain_sample([&] {
        std::uint32_t loops = CALIBRATION_LOOPS;
        asm volatile(
            "1:\n\t"
            ".rept 1000\n\t"
            "addl %[one], %[chain]\n\t"
            ".endr\n\t"
            "decl %[loops]\n\t"
            "jnz 1b"
            : [chain] "+r"(chain), [loops] "+r"(loops)
            : [one] "r"(1u)
            : "cc");
    });
    if (adds != nullptr) *adds = chain;
    return ticks;
}

double cycles_per_tick(std::uint64_t least_add_chain, std::uint64_t empty) {
    if (least_add_chain <= empty) return 0;
    return CALIBRATION_ADDS / static_cast<double>(least_add_chain - empty);
}

double cycles_per_operation(std::uint64_t least_work, std::uint64_t least_add_chain,
                            std::uint64_t empty, std::size_t operations, bool latency_chain) {
    const double per_tick = cycles_per_tick(least_add_chain, empty);
    if (per_tick == 0) return -1;
    const double ticks = least_work > empty ? static_cast<double>(least_work - empty) : 0.0;
    return ticks / static_cast<double>(operations) * per_tick -
           (latency_chain ? CHAIN_STEP_CYCLES : 0.0);
}

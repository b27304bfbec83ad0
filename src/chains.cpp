#include "chains.h"

std::uint64_t least_empty_sample(int count) {
    std::uint64_t least = NO_SAMPLE;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t ticks = chain_sample([] {});
        if (ticks < least) least = ticks;
    }
    return least;
}

std::uint64_t add_chain_sample(std::uint32_t* adds) {
    std::uint32_t chain = 0;
    const std::uint64_t ticks = chain_sample([&] {
        std::uint32_t loops = CALIBRATION_LOOPS;
        // 1000 ADDs, each on the last one's result, per loop; the loop's own
        // count and branch run beside the chain, off its path. volatile, and
        // the chain an output: none of it is dropped or worked out ahead.
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

double cycles_per_operation(chain_minima least, std::uint64_t empty, std::size_t operations,
                            bool latency_chain) {
    const double per_tick = cycles_per_tick(least.add_chain, empty);
    if (per_tick == 0) return -1;
    const double ticks = least.work > empty ? static_cast<double>(least.work - empty) : 0.0;
    return ticks / static_cast<double>(operations) * per_tick -
           (latency_chain ? CHAIN_STEP_CYCLES : 0.0);
}

#include "doubt.h"

#include <algorithm>

#include "console.h"
#include "cpu.h"
#include "latency.h"
#include "platform.h"

namespace {

// Counter reads for its step.
constexpr int STEP_READS = 4000;

constexpr fixed_text EMULATED_TEXT{
    "x86 code is emulated here: no count or figure measures an x86 core\r\n"};
constexpr fixed_text UNRESOLVED_TEXT{"Counts unresolved: "};
constexpr fixed_text TRAPS_TEXT{"CPUID traps to a hypervisor"};
constexpr fixed_text BOTH_TEXT{", "};
constexpr fixed_text STEP_TEXT{"counter step "};
constexpr fixed_text STEP_LABEL{" ticks\r\n"};
char step_buffer[NUMBER_BUFFER_SIZE];

}  // namespace

unsigned count_doubt(bool hypervisor, std::uint64_t least_empty, std::uint64_t counter_step) {
    unsigned doubt = COUNTS_HOLD;
    if (hypervisor || least_empty > TRAPPED_CPUID_TICKS) doubt |= CPUID_TRAPS;
    if (counter_step == 0 || counter_step > FINEST_STEP) doubt |= COARSE_COUNTER;
    return doubt;
}

bool x86_emulated() {
    const USHORT native = native_machine();
    return (native != IMAGE_FILE_MACHINE_UNKNOWN && native != IMAGE_FILE_MACHINE_I386 &&
            native != IMAGE_FILE_MACHINE_AMD64) ||
           translated_by_qemu();
}

void print_count_doubt(unsigned doubt, std::uint64_t step) {
    print_text(UNRESOLVED_TEXT.bytes);
    if ((doubt & CPUID_TRAPS) != 0) print_text(TRAPS_TEXT.bytes);
    if ((doubt & COARSE_COUNTER) == 0) {
        print_text(LINE_BREAK.bytes);
    } else {
        if ((doubt & CPUID_TRAPS) != 0) print_text(BOTH_TEXT.bytes);
        print_text(STEP_TEXT.bytes);
        render_decimal(static_cast<std::uint32_t>(std::min<std::uint64_t>(step, ~0u)), step_buffer);
        print_text(step_buffer);
        print_text(STEP_LABEL.bytes);
    }
}

void report_count_doubt(std::uint64_t least_empty) {
    if (x86_emulated()) {
        print_text(EMULATED_TEXT.bytes);
        return;
    }
    // Without SSE2 there is no LFENCE to read the counter by: its step goes
    // unmeasured, and so do the chains.
    const bool fenced = lfence_available();
    const std::uint64_t step = fenced ? counter_step(STEP_READS) : 1;
    const unsigned doubt = count_doubt(hypervisor_present(), least_empty, step);
    if (doubt == COUNTS_HOLD) return;
    print_count_doubt(doubt, step);
    if (fenced) print_chain_latencies(measure_chain_latencies());
}

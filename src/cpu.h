#pragma once
// What the processor says of itself, through CPUID, and its time-stamp
// counter read so that it measures what lies between two reads.
#include <cstdint>

// CPUID's leaves and bits, each named here once. Leaf 1: EDX bit 26 (SSE2,
// which brings LFENCE), ECX bit 31 (the processor runs under a hypervisor).
// Leaf 0x15: the counter's frequency as crystal Hz (ECX) times EBX / EAX.
// Leaves 0x80000002 to 0x80000004: the brand, 16 bytes each.
// Leaf 0x40000000: the highest leaf of a hypervisor's (EAX); its leaf
// 0x40000010: the counter's kHz (EAX).
constexpr unsigned FEATURES_LEAF = 1;
constexpr unsigned SSE2_BIT = 26;        // EDX
constexpr unsigned HYPERVISOR_BIT = 31;  // ECX
constexpr unsigned TSC_LEAF = 0x15;
constexpr unsigned BRAND_LEAF = 0x80000002;  // and the two after it
constexpr unsigned HYPERVISOR_LEAF = 0x40000000;
constexpr unsigned HYPERVISOR_TIMING_LEAF = 0x40000010;

bool lfence_available();
bool hypervisor_present();

// True where the hypervisor is QEMU's code translator (TCG: its leaf
// 0x40000000 signs "TCGTCGTCGTCG"), which emulates x86 instruction by
// instruction: no count there measures an x86 core.
bool translated_by_qemu();

// The processor as CPUID leaves 0, 1 and 0x80000002 to 0x80000004 name it:
// its vendor, its family and model with the extended fields folded in (as
// Intel and AMD number them: family 0x19 is Zen 3 and 4, model 0xA7 Rocket
// Lake), and its brand; empty texts and zeros where a leaf is missing.
struct cpu_signature {
    char vendor[13];
    unsigned family;
    unsigned model;
    char brand[49];
};
cpu_signature read_cpu_signature();

// The time-stamp counter's frequency in Hz as CPUID gives it (leaf 0x15,
// else a hypervisor's timing leaf), with where it came from; 0 where neither
// gives it.
std::uint64_t tsc_hz_from_cpuid(const char** source);

// A least of counter differences before its first sample.
constexpr std::uint64_t NO_SAMPLE = ~std::uint64_t{0};

// The time-stamp counter, with every earlier instruction done before it is
// read and no later one started until it is. Needs LFENCE: check
// lfence_available() first.
inline std::uint64_t fenced_tsc() {
    std::uint32_t low;
    std::uint32_t high;
    // LFENCE before: the work before has finished; after: nothing later has
    // begun. The "memory" clobber keeps the compiler from moving loads and
    // stores across the read.
    asm volatile("lfence\n\trdtsc\n\tlfence" : "=a"(low), "=d"(high)::"memory");
    return (std::uint64_t{high} << 32) | low;
}

// The greatest common divisor of the differences of count + 1 consecutive
// readings of read; 0 where the readings never moved.
template <typename Read>
std::uint64_t common_step(int count, Read read) {
    std::uint64_t step = 0;
    std::uint64_t last = read();
    for (int i = 0; i < count; ++i) {
        const std::uint64_t now = read();
        std::uint64_t a = step;
        std::uint64_t b = now - last;
        while (b != 0) {
            const std::uint64_t rest = a % b;
            a = b;
            b = rest;
        }
        step = a;
        last = now;
    }
    return step;
}

// The counter's step: the common step of count fenced reads (on bare metal
// 1; 21 on some virtual machines, where every reading is a multiple of 21).
inline std::uint64_t counter_step(int count) { return common_step(count, fenced_tsc); }

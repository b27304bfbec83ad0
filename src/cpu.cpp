#include "cpu.h"

#include <cpuid.h>

#include <cstring>

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

bool translated_by_qemu() {
    if (!hypervisor_present()) return false;
    unsigned eax, signature[3];
    __cpuid(HYPERVISOR_LEAF, eax, signature[0], signature[1], signature[2]);
    return std::memcmp(signature, "TCGTCGTCGTCG", sizeof signature) == 0;
}

cpu_signature read_cpu_signature() {
    cpu_signature cpu = {};
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return cpu;
    std::memcpy(cpu.vendor, &ebx, 4);
    std::memcpy(cpu.vendor + 4, &edx, 4);
    std::memcpy(cpu.vendor + 8, &ecx, 4);
    if (__get_cpuid(FEATURES_LEAF, &eax, &ebx, &ecx, &edx) != 0) {
        const unsigned family = (eax >> 8) & 0xF;
        const unsigned model = (eax >> 4) & 0xF;
        cpu.family = family == 0xF ? family + ((eax >> 20) & 0xFF) : family;
        cpu.model = family == 0x6 || family == 0xF ? model | ((eax >> 12) & 0xF0) : model;
    }
    for (unsigned i = 0; i < 3; ++i) {
        if (__get_cpuid(BRAND_LEAF + i, &eax, &ebx, &ecx, &edx) == 0) break;
        const unsigned words[] = {eax, ebx, ecx, edx};
        std::memcpy(cpu.brand + 16 * i, words, sizeof words);
    }
    return cpu;
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

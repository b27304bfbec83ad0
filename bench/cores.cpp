#include "cores.h"

#include <cstring>

namespace {

constexpr char INTEL[] = "GenuineIntel";
constexpr char AMD[] = "AuthenticAMD";
constexpr char HYGON[] = "HygonGenuine";
constexpr char VIA[] = "CentaurHauls";
constexpr char UOPS_INFO[] = "uops.info, measured";

// Models are inclusive ranges of one family; the first entry that matches
// names the core.
constexpr core_entry CORES[] = {
    // Intel, family 6: the big cores of the last few years, then Atom's first.
    {INTEL, 0x6, 0xA7, 0xA7, "Rocket Lake (Cypress Cove)", 3, true,
     "latency 10 to 15, throughput 6.00", "latency 4, throughput 1.00", UOPS_INFO},
    {INTEL, 0x6, 0x97, 0x97, "Alder Lake (Golden Cove and Gracemont)", 3, true,
     "latency 10 to 15 on Golden Cove, throughput 6.00 on both cores",
     "latency 4, throughput 1.00 on both cores", UOPS_INFO},
    {INTEL, 0x6, 0x9A, 0x9A, "Alder Lake (Golden Cove and Gracemont)", 3, true,
     "latency 10 to 15 on Golden Cove, throughput 6.00 on both cores",
     "latency 4, throughput 1.00 on both cores", UOPS_INFO},
    {INTEL, 0x6, 0xB7, 0xB7, "Raptor Lake (Raptor Cove and Gracemont)", 3, true, nullptr, nullptr,
     nullptr},
    {INTEL, 0x6, 0xBA, 0xBA, "Raptor Lake (Raptor Cove and Gracemont)", 3, true, nullptr, nullptr,
     nullptr},
    {INTEL, 0x6, 0xBF, 0xBF, "Raptor Lake (Raptor Cove and Gracemont)", 3, true, nullptr, nullptr,
     nullptr},
    {INTEL, 0x6, 0xC5, 0xC6, "Arrow Lake (Lion Cove and Skymont)", 3, true, nullptr, nullptr,
     nullptr},
    {INTEL, 0x6, 0x8F, 0x8F, "Sapphire Rapids (Golden Cove)", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0xCF, 0xCF, "Emerald Rapids (Raptor Cove)", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0xAD, 0xAE, "Granite Rapids (Redwood Cove)", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0xAA, 0xAC, "Meteor Lake (Redwood Cove and Crestmont)", 3, true, nullptr, nullptr,
     nullptr},
    {INTEL, 0x6, 0x8C, 0x8D, "Tiger Lake (Willow Cove)", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x7D, 0x7E, "Ice Lake (Sunny Cove)", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x6A, 0x6C, "Ice Lake (Sunny Cove)", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x55, 0x55, "Skylake-SP or Cascade Lake", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x4E, 0x4E, "Skylake", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x5E, 0x5E, "Skylake", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x8E, 0x8E, "Kaby Lake to Comet Lake (Skylake)", 3, true, nullptr, nullptr,
     nullptr},
    {INTEL, 0x6, 0x9E, 0x9E, "Kaby Lake to Coffee Lake (Skylake)", 3, true, nullptr, nullptr,
     nullptr},
    {INTEL, 0x6, 0xA5, 0xA6, "Comet Lake (Skylake)", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x3C, 0x3C, "Haswell", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x3F, 0x3F, "Haswell", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x45, 0x46, "Haswell", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x3D, 0x3D, "Broadwell", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x47, 0x47, "Broadwell", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x4F, 0x4F, "Broadwell", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x56, 0x56, "Broadwell", 3, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x1C, 0x1C, "Atom Bonnell", 5, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x26, 0x27, "Atom Bonnell", 5, true, nullptr, nullptr, nullptr},
    {INTEL, 0x6, 0x35, 0x36, "Atom Saltwell", 5, true, nullptr, nullptr, nullptr},
    // NetBurst: a dependent ADD is not one core cycle there (the fast ALUs
    // run at twice the clock, and a chain of them does not), so no
    // calibration by ADDs can hold.
    {INTEL, 0xF, 0x00, 0xFF, "Pentium 4 (NetBurst)", 14, false, nullptr, nullptr, nullptr},
    // AMD: family 0x15 is Bulldozer to Excavator, 0x17 Zen to Zen 2, 0x19 Zen 3
    // and Zen 4, 0x1A Zen 5.
    {AMD, 0x15, 0x00, 0x0F, "Bulldozer or Piledriver", 4, true, nullptr, nullptr, nullptr},
    {AMD, 0x15, 0x10, 0x1F, "Piledriver", 4, true, nullptr, nullptr, nullptr},
    {AMD, 0x15, 0x30, 0x3F, "Steamroller", 4, true, nullptr, nullptr, nullptr},
    {AMD, 0x15, 0x60, 0x7F, "Excavator", 4, true, nullptr, nullptr, nullptr},
    {AMD, 0x17, 0x00, 0x2F, "Zen or Zen+", 3, true, nullptr, nullptr, nullptr},
    {AMD, 0x17, 0x30, 0xFF, "Zen 2", 3, true, nullptr, nullptr, nullptr},
    {AMD, 0x19, 0x00, 0x0F, "Zen 3", 3, true, nullptr, nullptr, nullptr},
    {AMD, 0x19, 0x20, 0x5F, "Zen 3", 3, true, nullptr, nullptr, nullptr},
    {AMD, 0x19, 0x10, 0x1F, "Zen 4", 3, true, nullptr, nullptr, nullptr},
    {AMD, 0x19, 0x60, 0x7F, "Zen 4", 3, true, nullptr, nullptr, nullptr},
    {AMD, 0x19, 0xA0, 0xAF, "Zen 4", 3, true, nullptr, nullptr, nullptr},
    {AMD, 0x1A, 0x00, 0xFF, "Zen 5", 3, true, nullptr, nullptr, nullptr},
    {HYGON, 0x18, 0x00, 0xFF, "Hygon Dhyana (Zen)", 3, true, nullptr, nullptr, nullptr},
    // VIA Nano (Isaiah).
    {VIA, 0x6, 0x0F, 0x0F, "VIA Nano", 2, true, nullptr, nullptr, nullptr},
};

constexpr core_entry UNKNOWN = {"", 0, 0, 0, "unknown", 3, true, nullptr, nullptr, nullptr};

}  // namespace

const core_entry& identify_core(const cpu_signature& cpu) {
    for (const core_entry& core : CORES) {
        if (std::strcmp(core.vendor, cpu.vendor) == 0 && core.family == cpu.family &&
            cpu.model >= core.first_model && cpu.model <= core.last_model) {
            return core;
        }
    }
    return UNKNOWN;
}

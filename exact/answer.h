#pragma once
// What div100-exact says, as text or as JSON: a sequence checked (and swept),
// and the exact sequences for a divisor, each with its machine code for
// x86-64 and i686.
#include <string>

#include "exact.h"
#include "sweep.h"

struct answer {
    std::uint32_t divisor = 0;
    bool checked = false;  // a sequence was given
    sequence asked{};
    check_result reasoned;
    bool swept = false;
    sweep_result machine{};
    exact_sequences exact;
};

std::string as_text(const answer& said);
std::string as_json(const answer& said);

// The sequence as a formula: ((n + 1) * 0xA3D70A3D) >> 38.
std::string formula(const sequence& seq);

// A wide value in decimal.
std::string decimal(wide value);

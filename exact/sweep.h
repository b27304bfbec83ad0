#pragma once
// A check on the machine: every n from 0 to 2^32 - 1 tried, the sequence
// computed as the machine computes it (a 64-bit product where it fits, else
// in full) against n / d by the processor's divide, spread over every core.
#include <cstdint>

#include "exact.h"

struct sweep_result {
    mismatch first;  // the first n where the sequence is not n / d
    double seconds;
    unsigned threads;
};

sweep_result sweep(const sequence& seq);

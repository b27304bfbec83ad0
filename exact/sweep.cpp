#include "sweep.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// The first wrong n in [begin, end), or end where every one is right. The
// product takes 64 bits where n + a and m both fit 32 (as MUL and IMUL do),
// else is held in full.
std::uint64_t first_wrong_in(const sequence& seq, std::uint64_t begin, std::uint64_t end) {
    const std::uint64_t d = seq.divisor;
    if (seq.multiplier < DIVIDENDS && seq.add != increment::wide64 &&
        seq.add != increment::saturate) {
        const std::uint64_t m = seq.multiplier;
        const std::uint32_t a = seq.add == increment::wrap ? 1 : 0;
        for (std::uint64_t n = begin; n < end; ++n) {
            const std::uint32_t dividend = static_cast<std::uint32_t>(n) + a;  // wraps as ADD does
            if ((dividend * m) >> seq.shift != n / d) return n;
        }
        return end;
    }
#ifdef __SIZEOF_INT128__
    // A 128-bit product, as x86-64 compilers make it (MUL r64).
    for (std::uint64_t n = begin; n < end; ++n) {
        std::uint64_t dividend = n;
        if (seq.add == increment::wrap) dividend = static_cast<std::uint32_t>(n + 1);
        if (seq.add == increment::wide64) dividend = n + 1;
        if (seq.add == increment::saturate) dividend = n == LARGEST_DIVISOR ? n : n + 1;
        const unsigned __int128 product = static_cast<unsigned __int128>(dividend) * seq.multiplier;
        if ((product >> seq.shift) != n / d) return n;
    }
#else
    for (std::uint64_t n = begin; n < end; ++n) {
        if (value_at(seq, static_cast<std::uint32_t>(n)) != wide_of(n / d)) return n;
    }
#endif
    return end;
}

}  // namespace

sweep_result sweep(const sequence& seq) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::uint64_t> firsts(threads, DIVIDENDS);
    std::vector<std::thread> workers;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const std::uint64_t begin = DIVIDENDS * t / threads;
            const std::uint64_t end = DIVIDENDS * (t + 1) / threads;
            const std::uint64_t first = first_wrong_in(seq, begin, end);
            if (first < end) firsts[t] = first;
        });
    }
    for (std::thread& worker : workers) worker.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    sweep_result result{{}, took.count(), threads};
    const std::uint64_t first = *std::min_element(firsts.begin(), firsts.end());
    if (first < DIVIDENDS) {
        result.first.found = true;
        result.first.n = static_cast<std::uint32_t>(first);
        result.first.got = value_at(seq, result.first.n);
        result.first.expected = result.first.n / seq.divisor;
    }
    return result;
}

// The reciprocal quotient against DIV for every one of the 2^32 dividends,
// through the check block of the very library the tool links, spread over all
// cores: the only dividend where they differ must be 4294967295.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "range_check.h"

namespace {

constexpr std::uint64_t DIVIDENDS = std::uint64_t{1} << 32;
constexpr std::uint64_t BLOCKS = (DIVIDENDS + BLOCK_SIZE - 1) / BLOCK_SIZE;
// A broken check block fails almost everywhere: a few mismatches are enough
// to tell, so a worker stops after this many.
constexpr std::size_t ENOUGH = 8;

// Checks blocks [begin, end); after a mismatch the block goes on from the
// dividend after it, so every mismatch in the block is found.
void check_blocks(std::uint64_t begin, std::uint64_t end, std::vector<std::uint32_t>* mismatches) {
    for (std::uint64_t block = begin; block < end && mismatches->size() < ENOUGH; ++block) {
        const std::uint64_t block_end = std::min((block + 1) * BLOCK_SIZE, DIVIDENDS);
        for (std::uint64_t n = block * BLOCK_SIZE; n < block_end && mismatches->size() < ENOUGH;) {
            const auto first = static_cast<std::uint32_t>(n);
            const std::uint32_t stop = check_block(first);
            if (stop == static_cast<std::uint32_t>(first + BLOCK_SIZE)) break;
            mismatches->push_back(stop);
            n = std::uint64_t{stop} + 1;
        }
    }
}

}  // namespace

TEST(CheckBlockOverAllDividends, FindsTheOneMismatchAt4294967295AndNoOther) {
    const std::uint64_t threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::vector<std::uint32_t>> found(threads);
    std::vector<std::thread> workers;
    for (std::uint64_t t = 0; t < threads; ++t) {
        workers.emplace_back(check_blocks, BLOCKS * t / threads, BLOCKS * (t + 1) / threads,
                             &found[t]);
    }
    for (std::thread& worker : workers) worker.join();
    std::vector<std::uint32_t> mismatches;
    for (const auto& some : found) mismatches.insert(mismatches.end(), some.begin(), some.end());
    EXPECT_EQ(mismatches, std::vector<std::uint32_t>{4294967295u});
}

#include "console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "fake_host.h"

using fake_host::call_list;

// Every length from 0 to 5 at every alignment, the storage ending right after
// the last word the scan may read, so AddressSanitizer sees any read beyond.
// The bytes tempt the word trick: 0x80 and 0xFF before the zero, 0x01 after it
// (a byte above the zero borrows and may be flagged too).
TEST(TextLength, CountsTheBytesBeforeTheFirstZeroAtEveryAlignment) {
    const char body[] = {'\x80', '\xFF', '\x01', 'a', '\x7F'};
    for (std::size_t length = 0; length <= sizeof body; ++length) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            const std::size_t reach = (length + 1 + 3) / 4 * 4;
            const auto storage = std::make_unique<char[]>(offset + reach);
            char* text = storage.get() + offset;
            std::memcpy(text, body, length);
            std::memset(text + length, 0x01, reach - length);
            text[length] = '\0';
            EXPECT_EQ(text_length(text), length) << "at offset " << offset;
        }
    }
}

TEST(PrintText, HandsEachTextToStandardOutputInOneWrite) {
    static constexpr fixed_text EMPTY{""};
    static constexpr fixed_text PROMPT{"Press any key to exit..."};
    fake_host::reset();
    EXPECT_EQ(print_text(EMPTY.bytes), 0u);
    EXPECT_EQ(print_text(PROMPT.bytes), 24u);
    EXPECT_EQ(fake_host::calls(),
              (call_list{"WriteFile(out, )", "WriteFile(out, Press any key to exit...)"}));
}

// A failed write ends the run with exit code 1: a reader gone quietly, any
// other failure with one line on standard error.
TEST(PrintText, AFailedWriteEndsTheRun) {
    static constexpr fixed_text LOST{"lost"};
    for (const DWORD gone : {ERROR_NO_DATA, ERROR_BROKEN_PIPE, ERROR_PIPE_NOT_CONNECTED}) {
        fake_host::reset();
        fake_host::fail_writes(gone);
        EXPECT_THROW(print_text(LOST.bytes), fake_host::process_ended);
        EXPECT_EQ(fake_host::calls(), (call_list{"WriteFile(out, lost) failed", "ExitProcess(1)"}));
    }
    fake_host::reset();
    fake_host::fail_writes(112);
    EXPECT_THROW(print_text(LOST.bytes), fake_host::process_ended);
    EXPECT_EQ(fake_host::calls(),
              (call_list{"WriteFile(out, lost) failed",
                         "WriteFile(err, div100: cannot write the output: error 112\r\n)",
                         "ExitProcess(1)"}));
}

namespace {

constexpr fixed_text GO{"Go?"};
constexpr fixed_text ONE{"One?"};
constexpr fixed_text TWO{"Two?"};

// What one key wait did: whether the console's keys were discarded before
// its prompt showed, what it wrote, the codes it read once the prompt showed,
// and how often it polled for a key in vain.
struct key_wait {
    bool discarded_first;
    call_list written;
    call_list codes_after_prompt;
    unsigned polls_in_vain;
};

bool starts(const std::string& call, const char* lead) { return call.rfind(lead, 0) == 0; }

key_wait wait_at(const char* prompt) {
    const std::size_t before = fake_host::calls().size();
    wait_for_key(prompt);
    const call_list& calls = fake_host::calls();
    const std::string shown = "WriteFile(out, " + std::string(prompt) + ")";
    const auto begin = calls.begin() + static_cast<std::ptrdiff_t>(before);
    const auto prompt_at = std::find(begin, calls.end(), shown);
    const auto discard_at = std::find(begin, calls.end(), "FlushConsoleInputBuffer(console)");
    key_wait wait{discard_at < prompt_at, {}, {}, 0};
    for (auto call = begin; call != calls.end(); ++call) {
        if (starts(*call, "WriteFile")) wait.written.push_back(*call);
        if (call < prompt_at) continue;
        if (starts(*call, "_getch()")) wait.codes_after_prompt.push_back(*call);
        if (*call == "_kbhit() = 0") ++wait.polls_in_vain;
    }
    return wait;
}

}  // namespace

TEST(WaitForKey, DiscardsBeforeThePromptThenTakesOneNewKeyWithoutEcho) {
    fake_host::reset(2);
    const key_wait wait = wait_at(GO.bytes);
    EXPECT_TRUE(wait.discarded_first);
    EXPECT_EQ(wait.codes_after_prompt, call_list{"_getch() = 107"});
    EXPECT_EQ(wait.written, call_list{"WriteFile(out, Go?)"});
}

// A console that takes in what was typed only when it is waited on (wine's,
// on a terminal) still has the keys typed before the prompt discarded.
TEST(WaitForKey, KeysTheConsoleTakesInLateAreDiscardedToo) {
    fake_host::reset(2);
    fake_host::keys_typed_early(2);
    EXPECT_EQ(wait_at(GO.bytes).codes_after_prompt, call_list{"_getch() = 107"});
}

// msvcrt keeps an arrow key's second code back after the first; the next
// prompt must still wait for a new key, not take that code.
TEST(WaitForKey, AKeyOfTwoCodesAnswersOnePromptOnly) {
    fake_host::reset(1);
    fake_host::keys_yield_two_codes();
    EXPECT_EQ(wait_at(ONE.bytes).codes_after_prompt, call_list{"_getch() = 224"});  // 72 held back
    const key_wait second = wait_at(TWO.bytes);
    EXPECT_TRUE(second.discarded_first);
    EXPECT_EQ(second.codes_after_prompt, call_list{"_getch() = 224"});
}

// Events that are no keys (focus, say) end a wait on the console at once:
// they are taken out, and where a key held down stands among them (Shift
// alone) the wait sleeps instead, so that no poll follows another without
// time passing between them.
TEST(WaitForKey, NeverSpinsOnEventsThatAreNoKeys) {
    for (const int events : {0, 1, 2}) {
        fake_host::reset(3);
        if (events != 0) fake_host::events_not_keys(events == 2);
        const key_wait wait = wait_at(GO.bytes);
        EXPECT_EQ(wait.codes_after_prompt, call_list{"_getch() = 107"}) << events;
        if (events == 1) {
            EXPECT_EQ(fake_host::events_left(), 0);
        }
        EXPECT_GE(wait.polls_in_vain, 2u) << events;
        EXPECT_GE(fake_host::ms_since_output(), wait.polls_in_vain) << events;
    }
}

TEST(WaitForKey, WithNoConsoleShowsThePromptAndEndsAtOnce) {
    fake_host::reset(1);
    fake_host::no_console();
    const key_wait wait = wait_at(GO.bytes);
    EXPECT_EQ(wait.written, call_list{"WriteFile(out, Go?)"});
    EXPECT_EQ(wait.codes_after_prompt, call_list{});
    EXPECT_EQ(fake_host::elapsed_ms(), 0u);
}

// A console that can never deliver a key is said once, on standard error,
// and each prompt ends at once, as with none.
TEST(WaitForKey, AConsoleThatCannotGiveKeysIsSaidOnceAndTakenForNone) {
    fake_host::reset(1);
    fake_host::keyless("its keys go elsewhere");
    const key_wait one = wait_at(ONE.bytes);
    const key_wait two = wait_at(TWO.bytes);
    EXPECT_EQ(one.written,
              (call_list{"WriteFile(err, div100: no key can come: its keys go elsewhere\r\n)",
                         "WriteFile(out, One?)"}));
    EXPECT_EQ(two.written, call_list{"WriteFile(out, Two?)"});
    EXPECT_EQ(one.codes_after_prompt.size() + two.codes_after_prompt.size(), 0u);
    EXPECT_EQ(fake_host::elapsed_ms(), 0u);
}

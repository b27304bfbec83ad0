#include "console.h"

#include <gtest/gtest.h>

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

TEST(WaitForKey, DiscardsTheConsolesKeysThenSleepsBeforeEachPollAndReadsOneKeySilently) {
    fake_host::reset(2);
    wait_for_key();
    EXPECT_EQ(fake_host::calls(),
              (call_list{"CreateFileA(CONIN$)", "FlushConsoleInputBuffer(console)",
                         "CloseHandle(console)", "_kbhit() = 0", "Sleep(1)", "_kbhit() = 0",
                         "Sleep(1)", "_kbhit() = 1", "_getch() = 107"}));
}

// msvcrt keeps an arrow key's second code back after the first; the next
// prompt must still wait for a new key, not take that code.
TEST(WaitForKey, AKeyOfTwoCodesAnswersOnePromptOnly) {
    fake_host::reset(1);
    fake_host::keys_yield_two_codes();
    wait_for_key();
    wait_for_key();
    EXPECT_EQ(fake_host::calls(),
              (call_list{"CreateFileA(CONIN$)", "FlushConsoleInputBuffer(console)",
                         "CloseHandle(console)", "_kbhit() = 0", "Sleep(1)", "_kbhit() = 1",
                         "_getch() = 224",  // the first prompt answered; 72 held back
                         "CreateFileA(CONIN$)", "FlushConsoleInputBuffer(console)",
                         "CloseHandle(console)", "_kbhit() = 1", "_getch() = 72", "Sleep(1)",
                         "_kbhit() = 0", "Sleep(1)", "_kbhit() = 1", "_getch() = 224"}));
}

TEST(WaitForKey, WithNoConsoleEndsAtOnce) {
    fake_host::reset(1);
    fake_host::no_console();
    wait_for_key();
    EXPECT_EQ(fake_host::calls(), (call_list{"CreateFileA(CONIN$)"}));
}

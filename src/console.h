#pragma once
#include <cstddef>
#include <cstdint>

// A fixed text: its bytes and terminating zero, padded with zeros to whole
// four-byte words so that the word reads of text_length never leave it.
template <std::size_t N>
struct fixed_text {
    char bytes[(N + 3) / 4 * 4];
};
template <std::size_t N>
fixed_text(const char (&)[N]) -> fixed_text<N>;

// Room for the digits of any 32-bit value and their zero byte (11 bytes at
// most), in whole words.
constexpr std::size_t NUMBER_BUFFER_SIZE = 20;
static_assert(NUMBER_BUFFER_SIZE % 4 == 0, "text_length reads whole words");

inline constexpr fixed_text LINE_BREAK{"\r\n"};

// The exit code of a run whose output could not be written, and of one
// refused an argument.
constexpr unsigned EXIT_OUTPUT_LOST = 1;
constexpr unsigned EXIT_BAD_ARGUMENT = 2;

// Writes a zero-terminated text to standard output in one system write and
// returns the count of bytes the system took. Where the write fails, the run
// ends there with EXIT_OUTPUT_LOST.
std::uint32_t print_text(const char* text);

// Writes a zero-terminated text to standard error. A failure there goes
// unreported: there is nowhere left to report it.
void print_error(const char* text);

// Writes one line to standard error: the fixed text lead, detail_length bytes
// of detail (cut where the line would pass ERROR_LINE_SIZE bytes), CR LF.
constexpr std::size_t ERROR_LINE_SIZE = 320;
void print_error_line(const char* lead, const char* detail, std::uint32_t detail_length);

// Bytes before the first zero byte. Reads whole four-byte words from the
// text's first byte on, so up to three bytes past the zero byte.
std::uint32_t text_length(const char* text);

// The unsigned decimal digits of value and a zero byte, into buffer.
void render_decimal(std::uint32_t value, char* buffer);

// Discards keys typed at the console so far, prints prompt, then waits for a
// new key and consumes it without echo. Returns at once where there is no
// console.
void wait_for_key(const char* prompt);

// Refuses an argument the tool does not know, on standard error: its name as
// typed (the first ARGUMENT_SHOWN bytes of it), then usage; ends the process
// with EXIT_BAD_ARGUMENT, having done nothing else.
constexpr unsigned ARGUMENT_SHOWN = 200;
[[noreturn]] void refuse_argument(const char* argument, const char* usage);

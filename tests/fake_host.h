#pragma once
// A recording stand-in for the host calls: each call the code under test makes
// is kept as one line of text, in order; keys arrive on a script, and time
// passes only where the code sleeps or waits in vain.
#include <string>
#include <vector>

#include "platform.h"

namespace fake_host {

using call_list = std::vector<std::string>;

// Thrown where the real process would end (ExitProcess).
struct process_ended {};

// Forgets the calls so far; _kbhit then reports no key for the given number
// of polls, and a key after them (typed then: 'k'), and so again for each key
// read. With annotate, each call's line ends in " [...]" holding what
// annotate returns as the call is made.
void reset(int polls_before_key = 0, std::string (*annotate)() = nullptr);

// From now until the next reset, every key is an arrow key as msvcrt gives
// it: _getch returns 0xE0, and keeps the second code back for the next _getch
// (_kbhit reports it; a console flush does not reach it).
void keys_yield_two_codes();

// count keys ('e') typed before the next prompt, which the console takes in
// only when it is next waited on (as wine's console on a terminal does).
void keys_typed_early(int count);

// Until the next reset, the process has no console: CONIN$ cannot be opened.
void no_console();

// Until the next reset, the console can never deliver a key, for why.
void keyless(const char* why);

// Once the next prompt is out, the console holds three focus events, which a
// wait on it ends at once for, though _kbhit sees no key; with key_held, a
// key pressed (Shift alone, say) stands first among them.
void events_not_keys(bool key_held = false);

// The events the console still holds.
int events_left();

// Until the next reset, the host says the machine is native
// (IMAGE_FILE_MACHINE_ARM64 is 0xAA64, say).
void native_machine(USHORT native);

// Until the next reset, every write to standard output fails with error.
void fail_writes(DWORD error);

const call_list& calls();

// What the calls since the reset wrote to standard output, run together.
std::string printed();

// The process's priority class now, by name: NORMAL_PRIORITY_CLASS at a reset.
const std::string& priority_class();

// The milliseconds slept and waited in vain since the reset, and since the
// last write to standard output.
unsigned elapsed_ms();
unsigned ms_since_output();

}  // namespace fake_host

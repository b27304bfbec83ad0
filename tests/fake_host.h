#pragma once
// A recording stand-in for the host calls: each call the code under test makes
// is kept as one line of text, in order, and keys arrive on a script.
#include <string>
#include <vector>

#include "platform.h"

namespace fake_host {

using call_list = std::vector<std::string>;

// Thrown where the real process would end (ExitProcess).
struct process_ended {};

// Forgets the calls so far; _kbhit then reports no key for the given number
// of polls, and a key after them, and so again for each key read. With
// annotate, each call's line ends in " [...]" holding what annotate returns
// as the call is made.
void reset(int polls_before_key = 0, std::string (*annotate)() = nullptr);

// From now until the next reset, every key is an arrow key as msvcrt gives
// it: _getch returns 0xE0, and keeps the second code back for the next _getch
// (_kbhit reports it; a console flush does not reach it).
void keys_yield_two_codes();

// Until the next reset, the process has no console: CONIN$ cannot be opened.
void no_console();

// Until the next reset, the console holds three focus events, which a wait
// on it ends at once for, though _kbhit sees no key; with key_held, a key
// pressed (Shift alone, say) stands first among them.
void events_not_keys(bool key_held = false);

// Until the next reset, kernel32 has IsWow64Process2, and it says the
// machine is native (IMAGE_FILE_MACHINE_ARM64 is 0xAA64, say).
void native_machine(USHORT native);

// Until the next reset, every write to standard output fails with error.
void fail_writes(DWORD error);

const call_list& calls();

}  // namespace fake_host

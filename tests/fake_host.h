#pragma once
// A recording stand-in for the host calls: each call the code under test makes
// is kept as one line of text, in order, and keys arrive on a script.
#include <string>
#include <vector>

namespace fake_host {

using call_list = std::vector<std::string>;

// Thrown where the real process would end (ExitProcess, exit_sequence).
struct process_ended {};

// Forgets the calls so far; _kbhit then reports no key for the given number
// of polls, and a key after them. With annotate, each call's line ends in
// " [...]" holding what annotate returns as the call is made.
void reset(int polls_before_key = 0, std::string (*annotate)() = nullptr);

const call_list& calls();

}  // namespace fake_host

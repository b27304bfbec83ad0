#pragma once

// The process entry: start delay, the two timing runs, the range prompt, the
// range verification and its report, the exit sequence. Never returns.
[[noreturn]] void run_sequence();

// The end of every run: exit prompt, a key, a line break, exit code 0.
[[noreturn]] void exit_sequence();

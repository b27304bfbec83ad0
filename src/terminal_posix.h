#pragma once
// The console's terminal, for the host layer on a POSIX system
// (platform_posix.cpp): standard input, where it is a terminal, is in key mode
// (no line editing, no echo, signals kept) from attach on, while the tool is
// in the foreground, and put back as the tool last found it on every way
// out: exit, any signal that ends the process, a stop. Its states, the
// transitions between them and the signals that drive them live here, with
// the two things a Windows console does by itself that a terminal needs done:
// key mode taken when a key is polled for, and the prompt written again
// after fg.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

namespace host::terminal {

constexpr int CONSOLE_FD = STDIN_FILENO;

// Where standard input is a terminal: takes the signals that must give it
// back, key mode, and the give-back at exit.
void attach();

// For a poll for a key: takes key mode where the terminal was left as it is
// and is ours now (brought to the foreground while running, which no SIGCONT
// tells). True where key mode holds, so that a key is the tool's to read.
bool take_key_mode_when_polled();

// Discards what has been typed at the terminal and not yet read, where the
// terminal is ours (in the background, what is typed is the foreground
// job's). False where it is not.
bool discard_typed_keys();

// For good: the found modes back where the terminal is ours.
void give_back();

// The tool wrote size bytes at text to standard output: the last output, the
// prompt of a key wait that follows. Noted before the bytes go, so that a
// stop that comes as they arrive still finds them.
void note_output(const char* text, std::uint32_t size);

// Where the tool was stopped and is back in key mode since its last output,
// and standard output is the terminal, writes that output (a key wait's
// prompt) again on a fresh line: after fg the prompt is in sight. Output to
// a pipe or file is left byte for byte as it was.
void write_prompt_again_after_fg();

// Every change of the terminal runs with all signals held, so that no handler
// runs in the middle of one (a late SIGCONT cannot undo the final give-back).
// SIGTTOU is among them: a change that races with the shell taking the
// terminal is made, not turned into a stop.
class signals_held {
  public:
    signals_held() : saved_errno_(errno) {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &before_);
    }
    ~signals_held() {
        errno = saved_errno_;
        sigprocmask(SIG_SETMASK, &before_, nullptr);
    }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

  private:
    sigset_t before_;
    int saved_errno_;
};

}  // namespace host::terminal

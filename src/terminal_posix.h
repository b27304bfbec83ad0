#pragma once
// The console's terminal, for the host layer on a POSIX system
// (platform_posix.cpp): standard input, where it is a terminal, is in key mode
// (no line editing, no echo, signals kept) from attach on, while the tool is
// in the foreground, and put back as the tool last found it on every way
// out: exit, any signal that ends the process, a stop. Its states and the
// three transitions between them, and the signals that drive them, live here.
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace host::terminal {

constexpr int CONSOLE_FD = STDIN_FILENO;

// Where standard input is a terminal: takes the signals that must give it
// back, key mode, and the give-back at exit.
void attach();

// Key mode is on: the tool has the terminal, in the foreground.
bool in_key_mode();

// Key mode, where the terminal was left as it is and is ours now (brought to
// the foreground while running, which no SIGCONT tells).
void take_key_mode();

// For good: the found modes back where the terminal is ours.
void give_back();

// The terminal is ours to change: see is_ours_now in terminal_posix.cpp.
bool is_ours();

// Whether the tool was continued (after a stop, say) since the last output
// to standard output; output_written says there was some.
bool continued_since_output();
void output_written();

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

  private:
    sigset_t before_;
    int saved_errno_;
};

}  // namespace host::terminal

#include "terminal_posix.h"

#include <termios.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <utility>

namespace host::terminal {

namespace {

// What the console's terminal is in: there is none; it is left as it is (not
// yet in key mode, stopped, or in the background, where the foreground job
// owns it); key mode; or given back for good at the end of the run, after
// which nothing changes it again.
enum terminal_state : int { NO_TERMINAL, LEFT_AS_IS, KEY_MODE, GIVEN_BACK };
volatile std::sig_atomic_t terminal = NO_TERMINAL;

// Key mode: no line editing, no echo, a read ends on one byte. The modes it
// changes are the ones given back, and only where this run set them: a
// terminal found in key mode already (another run's, on the same terminal)
// is neither changed nor given back.
constexpr tcflag_t KEY_MODE_OFF = ICANON | ECHO | ECHOE | ECHOK | ECHONL;
termios found_modes;  // the terminal as the tool last came to it
bool modes_changed = false;

// Whether the tool has held key mode, and is back in it after a stop since
// its last output: its prompt is then due again.
bool had_key_mode = false;
volatile std::sig_atomic_t back_after_stop = 0;

// The last output to standard output (in a key wait, its prompt).
const char* last_output = nullptr;
std::uint32_t last_output_size = 0;

// The terminal is ours to change while our process group is its foreground
// group, or when it is not our controlling terminal at all (job control does
// not apply to it, and tcgetpgrp says ENOTTY). A job in the background leaves
// the terminal to the foreground job; a terminal that has hung up is no one's.
bool is_ours_now() {
    const pid_t group = tcgetpgrp(CONSOLE_FD);
    return group == getpgrp() || (group < 0 && errno == ENOTTY);
}

bool in_key_modes(const termios& modes) {
    return (modes.c_lflag & KEY_MODE_OFF) == 0 && modes.c_cc[VMIN] == 1 && modes.c_cc[VTIME] == 0;
}

// LEFT_AS_IS or KEY_MODE, in the foreground -> KEY_MODE. The modes to give
// back are the terminal's as they are when key mode is set: whatever was set
// while the tool was away (stty at the shell while it was stopped) stands.
// Key mode that holds is left alone (a stray SIGCONT changes nothing); key
// mode that has gone while the tool held it (another run on the terminal
// gave its modes back) is set again. Out of the foreground, the terminal
// stays left as it is.
void take_key_mode_now() {
    const signals_held held;
    const int now = terminal;
    if (now != LEFT_AS_IS && now != KEY_MODE) return;
    if (!is_ours_now()) {
        terminal = LEFT_AS_IS;
        return;
    }
    termios modes;
    if (tcgetattr(CONSOLE_FD, &modes) != 0) return;
    if (now == KEY_MODE && in_key_modes(modes)) return;
    if (!in_key_modes(modes)) {
        found_modes = modes;
        modes.c_lflag &= ~KEY_MODE_OFF;
        modes.c_cc[VMIN] = 1;
        modes.c_cc[VTIME] = 0;
        modes_changed = tcsetattr(CONSOLE_FD, TCSANOW, &modes) == 0;
    }
    if (now == LEFT_AS_IS && had_key_mode) back_after_stop = 1;
    had_key_mode = true;
    terminal = KEY_MODE;
}

// What this run changed, back as it found it, where the terminal still has
// what it set: what anyone else set since stands. Signals held, the
// terminal ours.
void restore_found_modes() {
    termios modes;
    if (modes_changed && tcgetattr(CONSOLE_FD, &modes) == 0 && in_key_modes(modes)) {
        modes.c_lflag = (modes.c_lflag & ~KEY_MODE_OFF) | (found_modes.c_lflag & KEY_MODE_OFF);
        modes.c_cc[VMIN] = found_modes.c_cc[VMIN];
        modes.c_cc[VTIME] = found_modes.c_cc[VTIME];
        tcsetattr(CONSOLE_FD, TCSANOW, &modes);
    }
    modes_changed = false;
}

// KEY_MODE -> LEFT_AS_IS, for a stop: the found modes back where the
// terminal is ours.
void leave_key_mode() {
    const signals_held held;
    if (terminal != KEY_MODE) return;
    if (is_ours_now()) restore_found_modes();
    terminal = LEFT_AS_IS;
}

// LEFT_AS_IS or KEY_MODE -> GIVEN_BACK, for good: where the terminal is ours,
// what was typed and not read (the rest of a multi-byte key) goes no further
// than this run, and the found modes are back.
void give_back_now() {
    const signals_held held;
    const int now = terminal;
    if (now != LEFT_AS_IS && now != KEY_MODE) return;
    if (is_ours_now()) {
        tcflush(CONSOLE_FD, TCIFLUSH);
        if (now == KEY_MODE) restore_found_modes();
    }
    terminal = GIVEN_BACK;
}

void set_handler(int sig, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// A signal whose default action ends the process: the terminal is given back,
// then that default action ends it, so the parent sees the true cause. The
// handler runs with every signal held and stays in place until the terminal
// is back, so a burst of the same signal cannot end the process first; the
// raised copy is delivered as the handler returns.
void on_fatal_signal(int sig) {
    give_back_now();
    set_handler(sig, SIG_DFL, 0);
    raise(sig);
}

// A stop (Ctrl-Z, or SIGTTIN or SIGTTOU sent by anyone): put the terminal back
// for the shell, stop by that signal, and take key mode again on resuming in
// the foreground. Where the stop does not happen (the kernel discards it for
// an orphaned process group, as when the tool leads its own session), key mode
// is back at once.
void on_stop(int sig) {
    const int saved_errno = errno;
    leave_key_mode();
    set_handler(sig, SIG_DFL, 0);
    raise(sig);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, sig);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stops here until SIGCONT
    set_handler(sig, on_stop, SA_RESTART);
    take_key_mode_now();
    errno = saved_errno;
}

// Continued, by `fg` or `bg` or anyone: key mode where the terminal is ours.
void on_resume(int) { take_key_mode_now(); }

// Installs a handler where the signal has its default action: one ignored at
// the start (as nohup and background jobs arrange) stays ignored, and one
// already handled (by a sanitizer's runtime) stays with its handler.
void take_signal(int sig, void (*handler)(int), int flags) {
    struct sigaction current = {};
    sigaction(sig, nullptr, &current);
    if (current.sa_handler == SIG_DFL) set_handler(sig, handler, flags);
}

// The signals whose default action ends the process, SIGPIPE among them (a
// reader that goes away ends the run as it ends any pipeline), but for
// SIGXFSZ, which the tool ignores so that a write over the file size limit
// fails and is reported.
constexpr int FATAL_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGIO,   SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
constexpr int STOP_SIGNALS[] = {SIGTSTP, SIGTTIN, SIGTTOU};

}  // namespace

void attach() {
    terminal = LEFT_AS_IS;
    if (isatty(CONSOLE_FD) == 0) return;
    terminal = LEFT_AS_IS;
    for (const int sig : FATAL_SIGNALS) take_signal(sig, on_fatal_signal, 0);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) take_signal(sig, on_fatal_signal, 0);
    for (const int sig : STOP_SIGNALS) take_signal(sig, on_stop, SA_RESTART);
    set_handler(SIGCONT, on_resume, SA_RESTART);
    std::atexit(give_back_now);
    take_key_mode_now();
}

bool take_key_mode_when_polled() {
    take_key_mode_now();
    return terminal == KEY_MODE;
}

bool discard_typed_keys() {
    const signals_held held;
    return is_ours_now() && tcflush(CONSOLE_FD, TCIFLUSH) == 0;
}

void give_back() { give_back_now(); }

void note_output(const char* text, std::uint32_t size) {
    last_output = text;
    last_output_size = size;
    back_after_stop = 0;
}

void write_prompt_again_after_fg() {
    // A prompt is output that leaves its line open; a line that was ended
    // needs nothing written again.
    if (back_after_stop == 0 || terminal != KEY_MODE || last_output == nullptr ||
        last_output_size == 0 || last_output[last_output_size - 1] == '\n' ||
        isatty(STDOUT_FILENO) == 0) {
        return;
    }
    back_after_stop = 0;
    static constexpr char FRESH_LINE[] = "\r\n";
    for (const auto& [text, size] :
         {std::pair<const char*, std::uint32_t>{FRESH_LINE, 2}, {last_output, last_output_size}}) {
        for (std::uint32_t done = 0; done < size;) {
            const ssize_t count = write(STDOUT_FILENO, text + done, size - done);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return;  // the next output meets the failure and reports it
            done += static_cast<std::uint32_t>(count);
        }
    }
}

}  // namespace host::terminal

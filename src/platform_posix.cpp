// The host calls of the tool on a POSIX system, with the meaning they have on
// a Windows console. Standard input, when it is a terminal, is the console: it
// is in key mode (no line editing, no echo, signals kept) from the start of
// the process while the tool is in the foreground, and put back exactly as
// found on every way out: exit, any signal that ends the process, a stop.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"

namespace host {

namespace {

constexpr int CONSOLE_FD = STDIN_FILENO;
constexpr int HIGH_NICE = -10;
constexpr int NORMAL_NICE = 0;
constexpr int NO_KEY = -1;
constexpr long NS_PER_MS = 1000000;
constexpr long NS_PER_S = 1000000000;

// A handle is a file descriptor plus one, so that no descriptor is the null
// handle; the current process is the pseudo-handle -1, as on Windows.
HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1); }
int fd_of(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1); }
HANDLE const CURRENT_PROCESS = reinterpret_cast<HANDLE>(std::intptr_t{-1});

// The console's terminal: not one; not yet ours (a job started in the
// background); in the modes it was found in (while suspended or back in the
// background); in key mode; or given back for good at the end of the run,
// after which nothing changes it again.
enum console_state : int { NO_TERMINAL, NOT_YET_OURS, AS_FOUND, KEY_MODE, GIVEN_BACK };
volatile std::sig_atomic_t console = NO_TERMINAL;
termios found_modes;  // the terminal as the process first had it
termios key_modes;    // the same without line editing and echo

// The terminal is ours to change while our process group is its foreground
// group, or when it is not our controlling terminal at all (job control does
// not apply to it, and tcgetpgrp says ENOTTY). A job in the background leaves
// the terminal to the foreground job.
bool terminal_is_ours(int fd) {
    const pid_t group = tcgetpgrp(fd);
    return group == getpgrp() || (group < 0 && errno == ENOTTY);
}

// Every change of a terminal runs with all signals held, so that no handler
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

void change_console(console_state wanted) {
    const signals_held held;
    const int now = console;
    const bool ours = now != NO_TERMINAL && now != GIVEN_BACK && terminal_is_ours(CONSOLE_FD);
    if (now == NOT_YET_OURS) {
        // The modes are found when the terminal first is ours: in the
        // background they are the foreground job's (a shell's line editor).
        if (wanted == KEY_MODE && ours && tcgetattr(CONSOLE_FD, &found_modes) == 0) {
            key_modes = found_modes;
            key_modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
            key_modes.c_cc[VMIN] = 1;
            key_modes.c_cc[VTIME] = 0;
            tcsetattr(CONSOLE_FD, TCSANOW, &key_modes);
            console = KEY_MODE;
        } else if (wanted == GIVEN_BACK) {
            console = GIVEN_BACK;
        }
    } else if (now == AS_FOUND || now == KEY_MODE) {
        if (wanted == KEY_MODE && ours) {
            tcsetattr(CONSOLE_FD, TCSANOW, &key_modes);
        } else if (wanted != KEY_MODE && ours) {
            // What was typed and not read (the rest of a multi-byte key)
            // goes no further than this run.
            if (wanted == GIVEN_BACK) tcflush(CONSOLE_FD, TCIFLUSH);
            if (now == KEY_MODE) tcsetattr(CONSOLE_FD, TCSANOW, &found_modes);
        }
        // Out of the foreground the terminal is in whatever modes the
        // foreground job set: key mode is taken anew on the way back.
        console = wanted == KEY_MODE && !ours ? AS_FOUND : wanted;
    }
}

void take_key_mode() { change_console(KEY_MODE); }
void give_back_terminal() { change_console(GIVEN_BACK); }

void set_handler(int sig, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigfillset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// A signal whose default action ends the process: the terminal is given back,
// then that default action ends it (the handler was reset on entry, and the
// raised signal is delivered as the handler returns), so the parent sees the
// true cause.
void on_fatal_signal(int sig) {
    give_back_terminal();
    raise(sig);
}

// Suspend: put the terminal back for the shell, stop, and take key mode again
// on resuming in the foreground. Where the stop does not happen (the kernel
// discards it for an orphaned process group, as when the tool leads its own
// session), key mode is back at once.
void on_suspend(int) {
    const int saved_errno = errno;
    change_console(AS_FOUND);
    set_handler(SIGTSTP, SIG_DFL, 0);
    raise(SIGTSTP);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stops here until SIGCONT
    set_handler(SIGTSTP, on_suspend, SA_RESTART);
    take_key_mode();
    errno = saved_errno;
}

// Continued, by `fg` or `bg` or anyone: key mode where the terminal is ours.
void on_resume(int) { take_key_mode(); }

// Installs a handler where the signal has its default action: one ignored at
// the start (as nohup and background jobs arrange) stays ignored, and one
// already handled (by a sanitizer's runtime) stays with its handler.
void take_signal(int sig, void (*handler)(int), int flags) {
    struct sigaction current = {};
    sigaction(sig, nullptr, &current);
    if (current.sa_handler == SIG_DFL) set_handler(sig, handler, flags);
}

// The signals whose default action ends the process, but for the two the
// tool ignores: SIGPIPE and SIGXFSZ.
constexpr int FATAL_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

bool attach_console() {
    // A reader that goes away, or a file that reaches its size limit, must
    // not end the run: writes just fail.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    if (isatty(CONSOLE_FD) == 0 || tcgetattr(CONSOLE_FD, &found_modes) != 0) return false;
    console = NOT_YET_OURS;
    for (const int sig : FATAL_SIGNALS) take_signal(sig, on_fatal_signal, SA_RESETHAND);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        take_signal(sig, on_fatal_signal, SA_RESETHAND);
    take_signal(SIGTSTP, on_suspend, SA_RESTART);
    set_handler(SIGCONT, on_resume, SA_RESTART);
    std::atexit(give_back_terminal);
    take_key_mode();
    return true;
}

// Like a Windows console, the terminal is in its console mode from the start
// of the process, before any of the tool's code runs (in the foreground; a
// job started in the background takes it when brought to the foreground).
[[maybe_unused]] const bool console_attached = attach_console();

// Input that can never deliver a key: closed, or open for writing only.
bool input_at_end() {
    const int flags = fcntl(CONSOLE_FD, F_GETFL);
    return flags < 0 || (flags & O_ACCMODE) == O_WRONLY;
}

}  // namespace

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return handle_of(STDIN_FILENO);
    if (which == STD_OUTPUT_HANDLE) return handle_of(STDOUT_FILENO);
    return handle_of(-1);
}

// Hands over every byte: short writes and interruptions are resumed, a
// non-blocking descriptor is waited for. A failure is reported only in the
// result, with *written counting what the system took.
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    const int fd = fd_of(file);
    const char* bytes = static_cast<const char*>(data);
    DWORD done = 0;
    BOOL result = TRUE;
    while (done < size) {
        const ssize_t count = write(fd, bytes + done, size - done);
        if (count > 0) {
            done += static_cast<DWORD>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready = {fd, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else {
            result = FALSE;
            break;
        }
    }
    if (written != nullptr) *written = done;
    return result;
}

// The console's input is standard input: CONSOLE_INPUT_NAME opens it, and closing it
// leaves it open. Nothing else can be opened.
HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return std::strcmp(name, CONSOLE_INPUT_NAME) == 0 ? handle_of(CONSOLE_FD)
                                                      : INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE) { return TRUE; }

// Discards what has been typed at the console and not yet read. Input that
// is not a terminal is no console: nothing is discarded and the call fails,
// as on Windows. In the background, what is typed belongs to the foreground
// job and stays.
BOOL FlushConsoleInputBuffer(HANDLE input) {
    const int fd = fd_of(input);
    if (isatty(fd) == 0) return FALSE;
    const signals_held held;
    return terminal_is_ours(fd) && tcflush(fd, TCIFLUSH) == 0 ? TRUE : FALSE;
}

// Non-zero when a key can be read at once, and also at end of input, on a
// descriptor that cannot be read or on an error, so that a key wait always
// ends.
int _kbhit() {
    if (input_at_end()) return 1;
    // A job brought to the foreground while running gets no SIGCONT from the
    // shell: key mode is taken here, where a key is waited for. In the
    // background the keys are the foreground job's, and reading them would
    // stop the process: none is ours.
    if (console == NOT_YET_OURS || console == AS_FOUND) {
        take_key_mode();
        if (console != KEY_MODE) return 0;
    }
    pollfd ready = {CONSOLE_FD, POLLIN, 0};
    int count;
    do {
        count = poll(&ready, 1, 0);
    } while (count < 0 && errno == EINTR);
    return count != 0 ? 1 : 0;
}

// One byte of input, or NO_KEY at end of input.
int _getch() {
    unsigned char key;
    ssize_t count;
    do {
        count = read(CONSOLE_FD, &key, 1);
    } while (count < 0 && errno == EINTR);
    return count == 1 ? key : NO_KEY;
}

char* _ultoa(unsigned long value, char* buffer, int radix) {
    constexpr int MIN_RADIX = 2;
    constexpr int MAX_RADIX = 36;
    std::size_t count = 0;
    if (radix >= MIN_RADIX && radix <= MAX_RADIX) {
        const auto base = static_cast<unsigned long>(radix);
        do {  // lowest digit first, then turned round
            buffer[count++] = "0123456789abcdefghijklmnopqrstuvwxyz"[value % base];
            value /= base;
        } while (value != 0);
    }
    buffer[count] = '\0';
    for (std::size_t low = 0, high = count; low + 1 < high; ++low) {
        --high;
        const char digit = buffer[low];
        buffer[low] = buffer[high];
        buffer[high] = digit;
    }
    return buffer;
}

// 0 gives up the rest of the time slice; otherwise sleeps the whole time on
// the monotonic clock, whatever signals arrive.
void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long nanoseconds = deadline.tv_nsec + static_cast<long>(milliseconds % 1000) * NS_PER_MS;
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000 + nanoseconds / NS_PER_S);
    deadline.tv_nsec = nanoseconds % NS_PER_S;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

HANDLE GetCurrentProcess() { return CURRENT_PROCESS; }

// High is nice -10, normal is nice 0; a refused change fails and changes nothing.
BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
    if (process != CURRENT_PROCESS) return FALSE;
    int nice;
    if (priority_class == HIGH_PRIORITY_CLASS) {
        nice = HIGH_NICE;
    } else if (priority_class == NORMAL_PRIORITY_CLASS) {
        nice = NORMAL_NICE;
    } else {
        return FALSE;
    }
    return setpriority(PRIO_PROCESS, 0, nice) == 0 ? TRUE : FALSE;
}

void ExitProcess(UINT exit_code) {
    give_back_terminal();
    std::exit(static_cast<int>(exit_code));
}

}  // namespace host

// The host calls of the tool on a POSIX system, with the meaning they have on
// a Windows console. Standard input, when it is a terminal, is the console: it
// is put into key mode (no line editing, no echo, signals kept) when the
// process starts, and put back exactly as found on every way out.

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
constexpr int FATAL_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A handle is a file descriptor plus one, so that no descriptor is the null
// handle; the current process is the pseudo-handle -1, as on Windows.
HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1); }
int fd_of(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1); }
HANDLE const CURRENT_PROCESS = reinterpret_cast<HANDLE>(std::intptr_t{-1});

termios found_modes;  // the terminal as the process found it
volatile std::sig_atomic_t console_is_terminal = 0;

void restore_terminal() {
    if (console_is_terminal != 0) tcsetattr(CONSOLE_FD, TCSANOW, &found_modes);
}

void enter_key_mode() {
    termios modes = found_modes;
    modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
    modes.c_cc[VMIN] = 1;
    modes.c_cc[VTIME] = 0;
    tcsetattr(CONSOLE_FD, TCSANOW, &modes);
}

void set_handler(int sig, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// Interrupt, terminate, hang-up, quit: the terminal is put back, then the
// signal's own default action ends the process (the handler was reset on
// entry, and the raised signal is delivered as the handler returns).
void on_fatal_signal(int sig) {
    restore_terminal();
    raise(sig);
}

// Suspend: put the terminal back for the shell, stop, and on resumption take
// key mode again, but only in the foreground: setting the modes from the
// background would stop the process once more.
void on_suspend(int) {
    const int saved_errno = errno;
    restore_terminal();
    set_handler(SIGTSTP, SIG_DFL, 0);
    raise(SIGTSTP);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // stops here until SIGCONT
    set_handler(SIGTSTP, on_suspend, SA_RESTART);
    errno = saved_errno;
}

void on_resume(int) {
    const int saved_errno = errno;
    if (tcgetpgrp(CONSOLE_FD) == getpgrp()) enter_key_mode();
    errno = saved_errno;
}

// Installs a handler unless the signal was ignored when the process started
// (as nohup and background jobs arrange): an ignored signal stays ignored.
void take_signal(int sig, void (*handler)(int), int flags) {
    struct sigaction current = {};
    sigaction(sig, nullptr, &current);
    if (current.sa_handler != SIG_IGN) set_handler(sig, handler, flags);
}

bool attach_console() {
    // A reader that goes away must not end the run: writes just fail.
    std::signal(SIGPIPE, SIG_IGN);
    if (isatty(CONSOLE_FD) == 0 || tcgetattr(CONSOLE_FD, &found_modes) != 0) return false;
    console_is_terminal = 1;
    for (const int sig : FATAL_SIGNALS) take_signal(sig, on_fatal_signal, SA_RESETHAND);
    take_signal(SIGTSTP, on_suspend, SA_RESTART);
    set_handler(SIGCONT, on_resume, SA_RESTART);
    std::atexit(restore_terminal);
    enter_key_mode();
    return true;
}

// Like a Windows console, the terminal is in its console mode from the start
// of the process, before any of the tool's code runs.
[[maybe_unused]] const bool console_attached = attach_console();

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

// Discards what has been typed at the console and not yet read. Input that
// is not a terminal is no console: nothing is discarded and the call fails,
// as on Windows.
BOOL FlushConsoleInputBuffer(HANDLE input) {
    const int fd = fd_of(input);
    if (isatty(fd) == 0) return FALSE;
    return tcflush(fd, TCIFLUSH) == 0 ? TRUE : FALSE;
}

// Non-zero when a key can be read at once, and also at end of input, on a
// closed descriptor or on an error, so that a key wait always ends.
int _kbhit() {
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
    restore_terminal();
    std::exit(static_cast<int>(exit_code));
}

}  // namespace host

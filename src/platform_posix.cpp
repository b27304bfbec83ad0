// The host calls of the tool on a POSIX system, with the meaning they have on
// a Windows console, made of POSIX calls. Standard input, when it is a
// terminal, is the console; its key mode, and the signals that give it back,
// are terminal_posix.cpp's.

#include "platform_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "terminal_posix.h"

namespace host {

namespace {

using terminal::CONSOLE_FD;
constexpr int HIGH_NICE_STEP = 10;  // high priority: the starting nice value less this
constexpr int LEAST_NICE = -20;
constexpr int NO_KEY = -1;
constexpr long NS_PER_MS = 1000000;
constexpr long NS_PER_S = 1000000000;
constexpr unsigned long LEAST_TIMER_SLACK_NS = 1;
// A failure that has no Windows code carries its errno under the bit that
// Windows leaves to applications.
constexpr DWORD ERRNO_ERROR = 0x20000000;

// A handle is a file descriptor plus one, so that no descriptor is the null
// handle; the current process is the pseudo-handle -1, as on Windows.
HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1); }
int fd_of(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1); }
HANDLE const CURRENT_PROCESS = reinterpret_cast<HANDLE>(std::intptr_t{-1});

DWORD last_error = 0;

// The text last written to standard output (in a key wait, its prompt).
const char* last_output = nullptr;
DWORD last_output_size = 0;

// Input a key wait reads rather than polls: not a terminal (a pipe, a file,
// a socket, nothing), or a terminal that has hung up.
bool input_is_read() { return isatty(CONSOLE_FD) == 0; }

}  // namespace

void attach_console() {
    std::signal(SIGXFSZ, SIG_IGN);
    // The 968 one-millisecond sleeps of the range check, each about a
    // millisecond, not one plus the kernel's default 50 microsecond slack.
    prctl(PR_SET_TIMERSLACK, LEAST_TIMER_SLACK_NS);
    if (isatty(CONSOLE_FD) != 0) terminal::attach();
}

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return handle_of(STDIN_FILENO);
    if (which == STD_OUTPUT_HANDLE) return handle_of(STDOUT_FILENO);
    if (which == STD_ERROR_HANDLE) return handle_of(STDERR_FILENO);
    return handle_of(-1);
}

// Hands over every byte: short writes and interruptions are resumed, a
// non-blocking descriptor is waited for. A failure returns FALSE, with
// *written counting what the system took and GetLastError saying why: a
// reader gone is ERROR_BROKEN_PIPE, as on Windows.
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    const int fd = fd_of(file);
    const char* bytes = static_cast<const char*>(data);
    DWORD done = 0;
    BOOL result = TRUE;
    // Noted before the bytes go: a stop that comes once they have reached
    // the terminal must still find them the last output.
    if (fd == STDOUT_FILENO) {
        last_output = bytes;
        last_output_size = size;
        terminal::output_written();
    }
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
            last_error = count == 0       ? ERRNO_ERROR | EIO
                         : errno == EPIPE ? ERROR_BROKEN_PIPE
                                          : ERRNO_ERROR | static_cast<DWORD>(errno);
            result = FALSE;
            break;
        }
    }
    if (written != nullptr) *written = done;
    return result;
}

DWORD GetLastError() { return last_error; }

// The system's words for an error code of GetLastError, without a line
// break; the length of the text, or 0 where the buffer has no room.
DWORD FormatMessageA(DWORD, LPCVOID, DWORD message, DWORD, LPSTR buffer, DWORD size, void*) {
    const int number =
        message == ERROR_BROKEN_PIPE ? EPIPE : static_cast<int>(message & ~ERRNO_ERROR);
    const char* text = std::strerror(number);
    const std::size_t length = std::strlen(text);
    if (size == 0 || length >= size) return 0;
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

// The console's input is standard input: CONSOLE_INPUT_NAME opens it, and
// closing it leaves it open. Nothing else can be opened.
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
    const terminal::signals_held held;
    return terminal::is_ours() && tcflush(fd, TCIFLUSH) == 0 ? TRUE : FALSE;
}

// Sleeps the whole time, as a wait on a console that holds no key: _kbhit
// sees a key however it comes. A key wait's prompt on a terminal is written
// again, on a fresh line, once the tool is back in key mode after it was
// continued: after `fg` the prompt is in sight. Output to a pipe or file is
// left byte for byte as it was.
DWORD WaitForSingleObject(HANDLE, DWORD milliseconds) {
    if (terminal::continued_since_output() && terminal::in_key_mode() &&
        isatty(STDOUT_FILENO) != 0 && last_output != nullptr) {
        const char* const prompt = last_output;
        const DWORD size = last_output_size;
        DWORD written = 0;
        WriteFile(handle_of(STDOUT_FILENO), "\r\n", 2, &written, nullptr);
        WriteFile(handle_of(STDOUT_FILENO), prompt, size, &written, nullptr);
    }
    Sleep(milliseconds);
    return WAIT_TIMEOUT;
}

// A terminal holds bytes, not events: there are none to look at or take.
BOOL PeekConsoleInputA(HANDLE, INPUT_RECORD*, DWORD, LPDWORD count) {
    *count = 0;
    return FALSE;
}
BOOL ReadConsoleInputA(HANDLE, INPUT_RECORD*, DWORD, LPDWORD count) {
    *count = 0;
    return FALSE;
}

// Non-zero when a key can be read at once. Input that is not a terminal is
// read, not polled (poll does not see a FIFO that never had a writer, or a
// listening socket): a byte, or its end or an error, always comes, so the
// answer is yes.
int _kbhit() {
    if (input_is_read()) return 1;
    // A job brought to the foreground while running gets no SIGCONT from the
    // shell: key mode is taken here, where a key is waited for. In the
    // background the keys are the foreground job's, and reading them would
    // stop the process: none is ours.
    if (!terminal::in_key_mode()) {
        terminal::take_key_mode();
        if (!terminal::in_key_mode()) return 0;
    }
    pollfd ready = {CONSOLE_FD, POLLIN, 0};
    int count;
    do {
        count = poll(&ready, 1, 0);
    } while (count < 0 && errno == EINTR);
    return count != 0 ? 1 : 0;
}

// One byte of input, waited for; NO_KEY at end of input or on an error.
int _getch() {
    unsigned char key;
    for (;;) {
        const ssize_t count = read(CONSOLE_FD, &key, 1);
        if (count == 1) return key;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready = {CONSOLE_FD, POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        return NO_KEY;
    }
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

timespec time_after(const timespec& now, DWORD milliseconds) {
    const long nanoseconds = now.tv_nsec + static_cast<long>(milliseconds % 1000) * NS_PER_MS;
    timespec later = now;
    later.tv_sec += static_cast<time_t>(milliseconds / 1000 + nanoseconds / NS_PER_S);
    later.tv_nsec = nanoseconds % NS_PER_S;
    return later;
}

// 0 gives up the rest of the time slice; otherwise sleeps the whole time on
// the monotonic clock, whatever signals arrive.
void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec deadline = time_after(now, milliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

HANDLE GetCurrentProcess() { return CURRENT_PROCESS; }

// Normal is the nice value the process had at its first change, high is ten
// less (as far as the system allows: a refused change fails and changes
// nothing), so `nice -n 19 div100` runs at 9, then 19.
BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
    static int normal_nice = 0;
    static bool normal_known = false;
    if (process != CURRENT_PROCESS) return FALSE;
    if (!normal_known) {
        errno = 0;
        const int now = getpriority(PRIO_PROCESS, 0);
        if (errno != 0) return FALSE;
        normal_nice = now;
        normal_known = true;
    }
    int nice;
    if (priority_class == HIGH_PRIORITY_CLASS) {
        nice = std::max(normal_nice - HIGH_NICE_STEP, LEAST_NICE);
    } else if (priority_class == NORMAL_PRIORITY_CLASS) {
        nice = normal_nice;
    } else {
        return FALSE;
    }
    return setpriority(PRIO_PROCESS, 0, nice) == 0 ? TRUE : FALSE;
}

// No Windows module is loaded here: the tool runs natively, nothing asks
// what machine emulates it.
HMODULE GetModuleHandleA(LPCSTR) { return nullptr; }
FARPROC GetProcAddress(HMODULE, LPCSTR) { return nullptr; }

void ExitProcess(UINT exit_code) {
    terminal::give_back();
    std::exit(static_cast<int>(exit_code));
}

}  // namespace host

// The host calls of the tool on a POSIX system, with the meaning they have on
// Windows, made of POSIX calls: each translates one call. Those of the
// console's input are console_posix.cpp's.

#include "platform_posix.h"

#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "terminal_posix.h"

namespace host {

namespace {

constexpr int HIGH_NICE_STEP = 10;  // high priority: the starting nice value less this
constexpr int LEAST_NICE = -20;
constexpr long NS_PER_MS = 1000000;
constexpr long NS_PER_S = 1000000000;
HANDLE const CURRENT_PROCESS = reinterpret_cast<HANDLE>(std::intptr_t{-1});

DWORD last_error = 0;

}  // namespace

void set_last_error(DWORD error) { last_error = error; }

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
    if (fd == STDOUT_FILENO) terminal::note_output(bytes, size);
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

void ExitProcess(UINT exit_code) {
    terminal::give_back();
    std::exit(static_cast<int>(exit_code));
}

}  // namespace host

// The tool runs natively here: nothing emulates it.
USHORT native_machine() { return IMAGE_FILE_MACHINE_UNKNOWN; }

// The typed text's bytes, cut at most on a UTF-8 character's first byte, so
// that the line stays valid UTF-8 where the text is.
void write_typed_line(const char* lead, const char* typed, unsigned most) {
    std::size_t length = strnlen(typed, most);
    if (length == most) {
        while (length > 0 && (static_cast<unsigned char>(typed[length]) & 0xC0) == 0x80) --length;
    }
    iovec parts[] = {{const_cast<char*>(lead), std::strlen(lead)},
                     {const_cast<char*>(typed), length},
                     {const_cast<char*>("\r\n"), 2}};
    while (writev(STDERR_FILENO, parts, 3) < 0 && errno == EINTR) {
    }
}

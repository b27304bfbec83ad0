#pragma once
// What the POSIX host layer (platform_posix.cpp, console_posix.cpp) shares
// between its rooms, and works out for itself apart from the calls it makes,
// so that its tests can check it exactly.
#include <cstdint>
#include <ctime>

#include "platform.h"

namespace host {

// A handle is a file descriptor plus one, so that no descriptor is the null
// handle; the current process is the pseudo-handle -1, as on Windows.
inline HANDLE handle_of(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}
inline int fd_of(HANDLE handle) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1);
}

// A failure that has no Windows code carries its errno under the bit that
// Windows leaves to applications.
constexpr DWORD ERRNO_ERROR = 0x20000000;

// What GetLastError says next.
void set_last_error(DWORD error);

// The time milliseconds after now, normalised (0 to 999 999 999 ns).
timespec time_after(const timespec& now, DWORD milliseconds);

}  // namespace host

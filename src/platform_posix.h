#pragma once
// What the POSIX host layer (platform_posix.cpp) works out for itself, apart
// from the calls it makes, so that its tests can check it exactly.
#include <ctime>

#include "platform.h"

namespace host {

// The time milliseconds after now, normalised (0 to 999 999 999 ns).
timespec time_after(const timespec& now, DWORD milliseconds);

}  // namespace host

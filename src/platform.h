#pragma once
// The calls the tool makes of its host, under their Win32 and msvcrt names.
// On Windows they are the real kernel32 and msvcrt functions; elsewhere a
// small layer of our own (platform_posix.cpp) gives them the same meaning on a
// POSIX terminal, so the tool's own code reads the same on both systems. With
// DIV100_OWN_HOST_DECLARATIONS our declarations stand on Windows too, for a
// stand-in host in tests.

// The name that opens the console's input, whatever standard input is.
constexpr char CONSOLE_INPUT_NAME[] = "CONIN$";

#if defined(_WIN32) && !defined(DIV100_OWN_HOST_DECLARATIONS)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <conio.h>
#include <stdlib.h>
#include <windows.h>

#else

#include <cstdint>

namespace host {

using BOOL = int;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using HANDLE = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;
using LPCSTR = const char*;
using LPSTR = char*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr USHORT IMAGE_FILE_MACHINE_UNKNOWN = 0;
constexpr USHORT IMAGE_FILE_MACHINE_I386 = 0x14C;
constexpr USHORT IMAGE_FILE_MACHINE_AMD64 = 0x8664;
constexpr WORD KEY_EVENT = 0x1;
constexpr WORD FOCUS_EVENT = 0x10;
// A console input event: its kind, and for a key whether it went down (the
// rest of Windows' record is never read here).
struct INPUT_RECORD {
    WORD EventType;
    union {
        struct {
            BOOL bKeyDown;
        } KeyEvent;
    } Event;
};
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(std::intptr_t{-1});

HANDLE GetStdHandle(DWORD which);
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
DWORD GetLastError();
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message, DWORD language, LPSTR buffer,
                     DWORD size, void* arguments);
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL CloseHandle(HANDLE object);
BOOL FlushConsoleInputBuffer(HANDLE input);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL PeekConsoleInputA(HANDLE input, INPUT_RECORD* events, DWORD size, LPDWORD count);
BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* events, DWORD size, LPDWORD count);
int _kbhit();
int _getch();
char* _ultoa(unsigned long value, char* buffer, int radix);
void Sleep(DWORD milliseconds);
HANDLE GetCurrentProcess();
BOOL SetPriorityClass(HANDLE process, DWORD priority_class);
[[noreturn]] void ExitProcess(UINT exit_code);
}  // namespace host

using namespace host;

#endif

// Besides the calls above, four of the tool's own that each host answers in
// its own way (platform_win32.cpp, platform_posix.cpp).

// Readies the console: on a POSIX terminal, key mode and the signals that must
// give it back (terminal_posix.h); on Windows nothing, as the process starts
// attached to it. The tool's first call; tests never make it.
void attach_console();

// The machine the system runs on natively, as IsWow64Process2 says where
// Windows has it (10 1709 on), else IMAGE_FILE_MACHINE_UNKNOWN: an x86 or
// x86-64 one, or another that emulates x86 (Windows on Arm).
USHORT native_machine();

// One line on standard error: lead (ASCII), then typed, a text as the user
// typed it (an argument), at most most bytes of it cut on a character's first
// byte, then CR LF; in the characters that standard error shows (on Windows,
// the console's, which are not those of the arguments).
void write_typed_line(const char* lead, const char* typed, unsigned most);

// Why the console this process has can never deliver a key (wine's console on
// a terminal whose keys go elsewhere; a terminal that cannot be polled), for
// one line on standard error; nullptr where keys can come, or where there is
// no console at all, which a key wait finds for itself.
const char* keys_unavailable();

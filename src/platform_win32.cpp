// The tool's own host calls on Windows (platform.h); the rest of the host is
// kernel32 and msvcrt themselves.
#include <cstring>

#include "platform.h"

void attach_console() {}

USHORT native_machine() {
    // Looked up, so that the exe still starts where kernel32 lacks it.
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "IsWow64Process2") : nullptr;
    if (found == nullptr) return IMAGE_FILE_MACHINE_UNKNOWN;
    BOOL(WINAPI * query)(HANDLE, USHORT*, USHORT*) = nullptr;
    static_assert(sizeof query == sizeof found, "one code pointer for another");
    std::memcpy(&query, &found, sizeof query);
    USHORT process_machine = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT native = IMAGE_FILE_MACHINE_UNKNOWN;
    if (query(GetCurrentProcess(), &process_machine, &native) == FALSE) {
        return IMAGE_FILE_MACHINE_UNKNOWN;
    }
    return native;
}

namespace {
// Room for the lead, the typed text and the line break, in UTF-16.
constexpr int LINE_SIZE = 320;
}  // namespace

// msvcrt hands the arguments over in the ANSI code page, which is not the one
// a console shows (its output code page, an OEM one): where standard error is
// a console the line goes to it as UTF-16, elsewhere in the console's output
// code page (the ANSI one where there is no console).
void write_typed_line(const char* lead, const char* typed, unsigned most) {
    wchar_t line[LINE_SIZE];
    int length = 0;
    for (; *lead != '\0' && length < LINE_SIZE / 2; ++lead) line[length++] = *lead;
    const int bytes = static_cast<int>(strnlen(typed, most));
    length += MultiByteToWideChar(CP_ACP, 0, typed, bytes, line + length, LINE_SIZE - 2 - length);
    line[length++] = '\r';
    line[length++] = '\n';
    HANDLE const errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(errors, &mode) != FALSE) {
        WriteConsoleW(errors, line, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    UINT page = GetConsoleOutputCP();
    if (page == 0) page = CP_ACP;
    char shown[LINE_SIZE * 4];
    const int count =
        WideCharToMultiByte(page, 0, line, length, shown, sizeof shown, nullptr, nullptr);
    WriteFile(errors, shown, static_cast<DWORD>(count), &written, nullptr);
}

// Under wine, a program started alone from a Unix shell gets a console that
// takes its keys from the program's Unix standard input; where that is not
// the terminal (a file, a pipe, /dev/null), the keys typed go to the
// terminal and never reach the console. Where another program shares the
// console (wine's cmd, a program that types into it), keys can still come.
const char* keys_unavailable() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return nullptr;
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE) return nullptr;
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1) return nullptr;
    return "wine's console reads stdin, not the terminal";
}

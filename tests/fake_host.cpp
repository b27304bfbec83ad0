#include "fake_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

fake_host::call_list recorded;
int polls_per_key = 0;
int polls_left = 0;
bool two_codes = false;
int code_held_back = -1;
bool console_missing = false;
DWORD other_events = 0;
bool shift_held = false;
USHORT machine = IMAGE_FILE_MACHINE_UNKNOWN;  // no IsWow64Process2
DWORD write_error = 0;
std::string (*annotation)() = nullptr;

void record(std::string call) {
    if (annotation != nullptr) call += " [" + annotation() + "]";
    recorded.push_back(std::move(call));
}

HANDLE const OUTPUT = reinterpret_cast<HANDLE>(2);
HANDLE const ERRORS = reinterpret_cast<HANDLE>(5);
HANDLE const PROCESS = reinterpret_cast<HANDLE>(3);
HANDLE const CONSOLE = reinterpret_cast<HANDLE>(4);
HMODULE const KERNEL32 = reinterpret_cast<HMODULE>(6);
constexpr int ARROW_LEAD = 0xE0;
constexpr int ARROW_UP = 0x48;

std::string name_of(HANDLE handle) {
    return handle == OUTPUT    ? "out"
           : handle == ERRORS  ? "err"
           : handle == PROCESS ? "process"
           : handle == CONSOLE ? "console"
                               : "?";
}

}  // namespace

namespace fake_host {

void reset(int polls_before_key, std::string (*annotate)()) {
    recorded.clear();
    polls_per_key = polls_left = polls_before_key;
    annotation = annotate;
    two_codes = console_missing = shift_held = false;
    other_events = 0;
    machine = IMAGE_FILE_MACHINE_UNKNOWN;
    write_error = 0;
    code_held_back = -1;
}

void keys_yield_two_codes() { two_codes = true; }

void no_console() { console_missing = true; }

void events_not_keys(bool key_held) {
    other_events = 3;
    shift_held = key_held;
}

void fail_writes(DWORD error) { write_error = error; }

void native_machine(USHORT native) { machine = native; }

const call_list& calls() { return recorded; }

}  // namespace fake_host

namespace host {

HANDLE GetStdHandle(DWORD which) {
    return which == STD_OUTPUT_HANDLE ? OUTPUT : which == STD_ERROR_HANDLE ? ERRORS : nullptr;
}

// Writes to standard output fail with the error of fail_writes, if any.
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    const bool fails = write_error != 0 && file == OUTPUT;
    record("WriteFile(" + name_of(file) + ", " + std::string(static_cast<const char*>(data), size) +
           ")" + (overlapped != nullptr ? " overlapped" : "") + (fails ? " failed" : ""));
    *written = fails ? 0 : size;
    return fails ? FALSE : TRUE;
}

DWORD GetLastError() { return write_error; }

// Every message as Windows words one: a sentence ending in ".\r\n".
DWORD FormatMessageA(DWORD, LPCVOID, DWORD message, DWORD, LPSTR buffer, DWORD size, void*) {
    const std::string text = "error " + std::to_string(message) + ".\r\n";
    if (text.size() >= size) return 0;
    std::snprintf(buffer, size, "%s", text.c_str());
    return static_cast<DWORD>(text.size());
}

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    record("CreateFileA(" + std::string(name) + ")");
    return console_missing ? INVALID_HANDLE_VALUE : CONSOLE;
}

BOOL CloseHandle(HANDLE object) {
    record("CloseHandle(" + name_of(object) + ")");
    return TRUE;
}

BOOL FlushConsoleInputBuffer(HANDLE input) {
    record("FlushConsoleInputBuffer(" + name_of(input) + ")");
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    record("WaitForSingleObject(" + name_of(object) + ", " + std::to_string(milliseconds) + ")");
    return other_events != 0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL PeekConsoleInputA(HANDLE input, INPUT_RECORD* events, DWORD size, LPDWORD count) {
    *count = std::min(other_events, size);
    for (DWORD i = 0; i < *count; ++i) {
        events[i].EventType = i == 0 && shift_held ? KEY_EVENT : FOCUS_EVENT;
        events[i].Event.KeyEvent.bKeyDown = TRUE;
    }
    record("PeekConsoleInputA(" + name_of(input) + ") = " + std::to_string(*count));
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD*, DWORD size, LPDWORD count) {
    *count = std::min(other_events, size);
    other_events -= *count;
    record("ReadConsoleInputA(" + name_of(input) + ", " + std::to_string(size) +
           ") = " + std::to_string(*count));
    return TRUE;
}

int _kbhit() {
    const int hit = code_held_back >= 0 || polls_left == 0 ? 1 : 0;
    if (hit == 0) --polls_left;
    record("_kbhit() = " + std::to_string(hit));
    return hit;
}

int _getch() {
    int code = 'k';
    if (code_held_back >= 0) {
        code = code_held_back;
        code_held_back = -1;
    } else if (two_codes) {
        code = ARROW_LEAD;
        code_held_back = ARROW_UP;
    }
    if (code_held_back < 0) polls_left = polls_per_key;
    record("_getch() = " + std::to_string(code));
    return code;
}

char* _ultoa(unsigned long value, char* buffer, int radix) {
    if (radix == 10) std::sprintf(buffer, "%lu", value);
    return buffer;
}

void Sleep(DWORD milliseconds) { record("Sleep(" + std::to_string(milliseconds) + ")"); }

HANDLE GetCurrentProcess() { return PROCESS; }

BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
    const char* name = priority_class == HIGH_PRIORITY_CLASS     ? "HIGH_PRIORITY_CLASS"
                       : priority_class == NORMAL_PRIORITY_CLASS ? "NORMAL_PRIORITY_CLASS"
                                                                 : "?";
    record("SetPriorityClass(" + name_of(process) + ", " + name + ")");
    return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR name) {
    record("GetModuleHandleA(" + std::string(name) + ")");
    return KERNEL32;
}

namespace {
BOOL is_wow64_process2(HANDLE process, USHORT* process_machine, USHORT* native) {
    record("IsWow64Process2(" + name_of(process) + ")");
    *process_machine = IMAGE_FILE_MACHINE_I386;
    *native = machine;
    return TRUE;
}
}  // namespace

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    record("GetProcAddress(" + std::string(module == KERNEL32 ? "kernel32" : "?") + ", " + name +
           ")");
    if (module != KERNEL32 || std::string(name) != "IsWow64Process2" || machine == 0)
        return nullptr;
    FARPROC found;
    auto* query = &is_wow64_process2;
    std::memcpy(&found, &query, sizeof found);
    return found;
}

void ExitProcess(UINT exit_code) {
    record("ExitProcess(" + std::to_string(exit_code) + ")");
    throw fake_host::process_ended{};
}

}  // namespace host

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
int early_keys = 0;       // typed, not yet taken in by the console
int keys_in_console = 0;  // taken in: 'e' for an early key, else 'k'
bool early_in_console = false;
bool console_missing = false;
const char* keyless_why = nullptr;
int events_after_prompt = 0;
int other_events = 0;
bool shift_held = false;
unsigned clock_ms = 0;
unsigned output_ms = 0;                       // the clock at the last write to standard output
USHORT machine = IMAGE_FILE_MACHINE_UNKNOWN;  // no IsWow64Process2, or an x86 machine
DWORD write_error = 0;
std::string priority = "NORMAL_PRIORITY_CLASS";
std::string (*annotation)() = nullptr;

void record(std::string call) {
    if (annotation != nullptr) call += " [" + annotation() + "]";
    recorded.push_back(std::move(call));
}

HANDLE const OUTPUT = reinterpret_cast<HANDLE>(2);
HANDLE const ERRORS = reinterpret_cast<HANDLE>(5);
HANDLE const PROCESS = reinterpret_cast<HANDLE>(3);
HANDLE const CONSOLE = reinterpret_cast<HANDLE>(4);
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
    two_codes = console_missing = shift_held = early_in_console = false;
    keyless_why = nullptr;
    early_keys = keys_in_console = events_after_prompt = other_events = 0;
    clock_ms = output_ms = 0;
    machine = IMAGE_FILE_MACHINE_UNKNOWN;
    write_error = 0;
    code_held_back = -1;
    priority = "NORMAL_PRIORITY_CLASS";
}

void keys_yield_two_codes() { two_codes = true; }

void keys_typed_early(int count) { early_keys = count; }

void no_console() { console_missing = true; }

void keyless(const char* why) { keyless_why = why; }

void events_not_keys(bool key_held) {
    events_after_prompt = 3;
    shift_held = key_held;
}

int events_left() { return other_events; }

unsigned elapsed_ms() { return clock_ms; }

unsigned ms_since_output() { return clock_ms - output_ms; }

void fail_writes(DWORD error) { write_error = error; }

void native_machine(USHORT native) { machine = native; }

const call_list& calls() { return recorded; }

std::string printed() {
    const std::string lead = "WriteFile(out, ";
    std::string out;
    for (const std::string& call : calls())
        if (call.rfind(lead, 0) == 0)
            out += call.substr(lead.size(), call.size() - lead.size() - 1);
    return out;
}

const std::string& priority_class() { return priority; }

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
    if (file == OUTPUT) output_ms = clock_ms;
    if (file == OUTPUT && events_after_prompt != 0) {
        other_events = events_after_prompt;
        events_after_prompt = 0;
    }
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
    keys_in_console = other_events = 0;
    return TRUE;
}

// The console takes in what was typed early; the wait ends at once where it
// holds something, else it lasts its time.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    record("WaitForSingleObject(" + name_of(object) + ", " + std::to_string(milliseconds) + ")");
    if (early_keys != 0) {
        keys_in_console += early_keys;
        early_in_console = true;
        early_keys = 0;
    }
    if (keys_in_console != 0 || other_events != 0) return WAIT_OBJECT_0;
    clock_ms += milliseconds;
    return WAIT_TIMEOUT;
}

BOOL PeekConsoleInputA(HANDLE input, INPUT_RECORD* events, DWORD size, LPDWORD count) {
    *count = std::min(static_cast<DWORD>(other_events), size);
    for (DWORD i = 0; i < *count; ++i) {
        events[i].EventType = i == 0 && shift_held ? KEY_EVENT : FOCUS_EVENT;
        events[i].Event.KeyEvent.bKeyDown = TRUE;
    }
    record("PeekConsoleInputA(" + name_of(input) + ") = " + std::to_string(*count));
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD*, DWORD size, LPDWORD count) {
    *count = std::min(static_cast<DWORD>(other_events), size);
    other_events -= static_cast<int>(*count);
    record("ReadConsoleInputA(" + name_of(input) + ", " + std::to_string(size) +
           ") = " + std::to_string(*count));
    return TRUE;
}

// A key is there where the console holds one or a second code is held back;
// else, once the polls before it are done, one is typed.
int _kbhit() {
    if (keys_in_console == 0 && code_held_back < 0) {
        if (polls_left == 0) {
            keys_in_console = 1;
            early_in_console = false;
        } else {
            --polls_left;
        }
    }
    const int hit = keys_in_console != 0 || code_held_back >= 0 ? 1 : 0;
    record("_kbhit() = " + std::to_string(hit));
    return hit;
}

int _getch() {
    int code = early_in_console ? 'e' : 'k';
    if (code_held_back >= 0) {
        code = code_held_back;
        code_held_back = -1;
    } else {
        if (keys_in_console != 0) --keys_in_console;
        if (two_codes) {
            code = ARROW_LEAD;
            code_held_back = ARROW_UP;
        }
    }
    if (code_held_back < 0) polls_left = polls_per_key;
    record("_getch() = " + std::to_string(code));
    return code;
}

char* _ultoa(unsigned long value, char* buffer, int radix) {
    if (radix == 10) std::sprintf(buffer, "%lu", value);
    return buffer;
}

void Sleep(DWORD milliseconds) {
    record("Sleep(" + std::to_string(milliseconds) + ")");
    clock_ms += milliseconds;
}

HANDLE GetCurrentProcess() { return PROCESS; }

BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
    const char* name = priority_class == HIGH_PRIORITY_CLASS     ? "HIGH_PRIORITY_CLASS"
                       : priority_class == NORMAL_PRIORITY_CLASS ? "NORMAL_PRIORITY_CLASS"
                                                                 : "?";
    record("SetPriorityClass(" + name_of(process) + ", " + name + ")");
    if (process == PROCESS) priority = name;
    return TRUE;
}

void ExitProcess(UINT exit_code) {
    record("ExitProcess(" + std::to_string(exit_code) + ")");
    throw fake_host::process_ended{};
}

}  // namespace host

USHORT native_machine() { return machine; }

const char* keys_unavailable() { return keyless_why; }

void write_typed_line(const char* lead, const char* typed, unsigned most) {
    record("write_typed_line(" + std::string(lead) + std::string(typed, strnlen(typed, most)) +
           ")");
}

// Runs div100.exe as someone at a Windows console would: the tool shares this
// program's console, its standard output is a pipe read here byte for byte,
// and keys are typed into the console input buffer. Checks that keys typed
// before each prompt are discarded and that the run ends with exit code 0,
// and writes what the tool printed to a file, for the caller to check.
// Usage: win32_driver [--redirected] div100.exe transcript; exit code 0 when
// all holds. With --redirected, the tool's standard input is NUL, not the
// console.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HANDLE console_input;
HANDLE output;
HANDLE tool;
std::string transcript;
const char* transcript_file;

void save_transcript() {
    if (transcript_file == nullptr) return;
    if (FILE* file = std::fopen(transcript_file, "wb")) {
        std::fwrite(transcript.data(), 1, transcript.size(), file);
        std::fclose(file);
    }
}

[[noreturn]] void fail(const std::string& what) {
    std::printf("FAIL: %s\nafter: ...%s\n", what.c_str(),
                transcript.substr(transcript.size() > 120 ? transcript.size() - 120 : 0).c_str());
    std::fflush(stdout);
    if (tool != nullptr) TerminateProcess(tool, 1);
    save_transcript();
    std::exit(1);
}

void type_key(char key) {
    INPUT_RECORD records[2] = {};
    for (int i = 0; i < 2; ++i) {
        KEY_EVENT_RECORD& event = records[i].Event.KeyEvent;
        records[i].EventType = KEY_EVENT;
        event.bKeyDown = i == 0;
        event.wRepeatCount = 1;
        event.wVirtualKeyCode = static_cast<WORD>(key >= 'a' && key <= 'z' ? key - 'a' + 'A' : key);
        event.uChar.AsciiChar = key;
    }
    DWORD written = 0;
    if (!WriteConsoleInputA(console_input, records, 2, &written) || written != 2) {
        fail("cannot type into the console");
    }
}

// Takes what the tool has written so far; false once the pipe is closed.
bool take_output() {
    DWORD ready = 0;
    if (!PeekNamedPipe(output, nullptr, 0, nullptr, &ready, nullptr)) return false;
    if (ready == 0) return true;
    std::string chunk(ready, '\0');
    DWORD count = 0;
    if (!ReadFile(output, &chunk[0], ready, &count, nullptr)) return false;
    transcript.append(chunk, 0, count);
    return true;
}

void read_until(const std::string& text, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (transcript.find(text) == std::string::npos) {
        if (!take_output()) fail("output ended before \"" + text + "\"");
        if (GetTickCount() - start > timeout_ms) fail("no \"" + text + "\" in time");
        Sleep(5);
    }
}

// The tool, still running, prints nothing more for a while.
void expect_waiting(const char* prompt) {
    const std::size_t before = transcript.size();
    Sleep(1000);
    take_output();
    if (transcript.size() != before || WaitForSingleObject(tool, 0) != WAIT_TIMEOUT) {
        fail(std::string(prompt) + " was answered by a key typed before it");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool redirected = argc == 4 && std::string(argv[1]) == "--redirected";
    if (argc != 3 && !redirected) {
        std::printf("usage: win32_driver [--redirected] div100.exe transcript\n");
        return 2;
    }
    const char* exe = argv[argc - 2];
    transcript_file = argv[argc - 1];
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    console_input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, OPEN_EXISTING, 0, nullptr);
    if (console_input == INVALID_HANDLE_VALUE) fail("no console (run inside a terminal)");
    HANDLE output_end = nullptr;
    if (!CreatePipe(&output, &output_end, &inherited, 0)) fail("no pipe");
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput =
        redirected ? CreateFileA("NUL", GENERIC_READ, 0, &inherited, OPEN_EXISTING, 0, nullptr)
                   : console_input;
    startup.hStdOutput = output_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started = {};
    std::string command = std::string("\"") + exe + "\"";
    if (!CreateProcessA(exe, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started)) {
        fail(std::string("cannot start ") + exe);
    }
    tool = started.hProcess;
    CloseHandle(started.hThread);
    CloseHandle(output_end);

    // Two keys each time: one alone could also be taken by the wait's discard
    // of a held-back second code, and would not show a missing flush.
    Sleep(1000);
    type_key('w');  // during the start delay
    type_key('x');
    read_until("Press any key to test range...", 60000);
    expect_waiting("the range prompt");
    type_key('k');
    read_until("4294001000\r\n", 30000);
    type_key('y');  // during the range check
    type_key('y');
    read_until("Press any key to exit...", 120000);
    expect_waiting("the exit prompt");
    type_key('z');
    while (take_output()) Sleep(5);
    if (WaitForSingleObject(tool, 30000) != WAIT_OBJECT_0) fail("the tool did not end");
    DWORD exit_code = 1;
    GetExitCodeProcess(tool, &exit_code);
    if (exit_code != 0) fail("exit code " + std::to_string(exit_code));

    save_transcript();
    std::printf("PASS: exit code 0, early keys discarded\n");
    return 0;
}

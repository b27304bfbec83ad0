// A key relay for whole runs of div100.exe at a Windows console, for
// main_test.py, which holds the scenario: the tool shares this program's
// console, its standard output is a pipe whose bytes are appended to the
// transcript file as they come, and every byte appended to the keys file is
// typed into the console input buffer as a key. Ends when the tool has ended
// and its output is all in, printing "exit=N" with the tool's exit code.
// Usage: win32_driver [--redirected] div100.exe transcript keys. With
// --redirected, the tool's standard input is NUL, not the console.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD POLL_MS = 5;

HANDLE console_input;

[[noreturn]] void fail(const std::string& what) {
    std::printf("FAIL: %s\n", what.c_str());
    std::fflush(stdout);
    std::exit(2);
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

// Appends what the tool has written so far to the transcript; false once
// the pipe is closed and empty.
bool relay_output(HANDLE output, FILE* transcript) {
    DWORD ready = 0;
    if (!PeekNamedPipe(output, nullptr, 0, nullptr, &ready, nullptr)) return false;
    if (ready == 0) return true;
    std::string chunk(ready, '\0');
    DWORD count = 0;
    if (!ReadFile(output, &chunk[0], ready, &count, nullptr)) return false;
    std::fwrite(chunk.data(), 1, count, transcript);
    std::fflush(transcript);
    return true;
}

// Types every byte appended to the keys file since the last call.
void relay_keys(const char* keys, long& taken) {
    FILE* file = std::fopen(keys, "rb");
    if (file == nullptr) return;
    std::fseek(file, taken, SEEK_SET);
    for (int key; (key = std::fgetc(file)) != EOF; ++taken) type_key(static_cast<char>(key));
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    const bool redirected = argc == 5 && std::string(argv[1]) == "--redirected";
    if (argc != 4 && !redirected) {
        std::printf("usage: win32_driver [--redirected] div100.exe transcript keys\n");
        return 2;
    }
    const char* exe = argv[argc - 3];
    FILE* transcript = std::fopen(argv[argc - 2], "wb");
    const char* keys = argv[argc - 1];
    if (transcript == nullptr) fail("cannot write the transcript");
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    console_input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, OPEN_EXISTING, 0, nullptr);
    if (console_input == INVALID_HANDLE_VALUE) fail("no console (run inside a terminal)");
    HANDLE output = nullptr;
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
    CloseHandle(started.hThread);
    CloseHandle(output_end);

    long taken = 0;
    while (relay_output(output, transcript)) {
        relay_keys(keys, taken);
        Sleep(POLL_MS);
    }
    std::fclose(transcript);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD exit_code = 1;
    GetExitCodeProcess(started.hProcess, &exit_code);
    std::printf("exit=%lu\n", exit_code);
    return 0;
}

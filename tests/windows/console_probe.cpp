// Test-only Windows program: starts a console program the way Explorer does on
// a double-click, with a console window of its own, then looks at that console
// as a user would. It reads what the window shows through the console API,
// checks that the program is still waiting, presses a key as a console key
// event, and sees the program end and its window go.
//
//   console_probe <program.exe>
//
// One "name value" line per finding; "screen" lines repeat what the console
// showed. Exit status 0 if every step could be taken, 1 if one could not.
// Every wait has a deadline, and the program is ended before the probe is.
#include <cstdio>
#include <string>
#include <vector>
#include <windows.h>

namespace {

constexpr DWORD poll_ms = 50;

int failed(const char* step) {
    std::printf("failed %s %lu\n", step, GetLastError());
    std::fflush(stdout);
    return 1;
}

// Every line of the console's screen buffer, trailing blanks cut, empty lines dropped.
std::vector<std::string> screen_lines() {
    std::vector<std::string> lines;
    const HANDLE out =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return lines;
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(out, &info)) {
        const SHORT width = info.dwSize.X;
        std::vector<char> row(static_cast<size_t>(width));
        for (SHORT y = 0; y < info.dwSize.Y; ++y) {
            DWORD read = 0;
            if (!ReadConsoleOutputCharacterA(out, row.data(), static_cast<DWORD>(width), {0, y},
                                             &read)) {
                break;
            }
            std::string line(row.data(), read);
            line.erase(line.find_last_not_of(' ') + 1);
            if (!line.empty()) {
                lines.push_back(line);
            }
        }
    }
    CloseHandle(out);
    return lines;
}

bool shows(const std::vector<std::string>& lines, const char* text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// One key, pressed and released, as the console's window would queue it.
bool press_key(char key) {
    const HANDLE in =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        return false;
    }
    INPUT_RECORD events[2]{};
    for (int i = 0; i < 2; ++i) {
        events[i].EventType = KEY_EVENT;
        KEY_EVENT_RECORD& k = events[i].Event.KeyEvent;
        k.bKeyDown = i == 0;
        k.wRepeatCount = 1;
        k.wVirtualKeyCode = static_cast<WORD>(VkKeyScanA(key) & 0xff);
        k.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyA(k.wVirtualKeyCode, MAPVK_VK_TO_VSC));
        k.uChar.AsciiChar = key;
    }
    DWORD written = 0;
    const bool ok = WriteConsoleInputA(in, events, 2, &written) && written == 2;
    CloseHandle(in);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return failed("usage");
    }
    std::string command_line = std::string("\"") + argv[1] + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                        nullptr, nullptr, &startup, &process)) {
        return failed("CreateProcess");
    }
    CloseHandle(process.hThread);
    // Whatever happens below, the program does not outlive the probe.
    struct Ender {
        HANDLE process;
        ~Ender() {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process, 1);
            }
            CloseHandle(process);
        }
    } ender{process.hProcess};

    // Our own console, if any, is let go: from here on we look at the program's.
    FreeConsole();
    std::vector<std::string> lines;
    bool prompted = false;
    for (DWORD waited = 0; !prompted && waited < 60000; waited += poll_ms) {
        if (AttachConsole(process.dwProcessId)) {
            lines = screen_lines();
            prompted = shows(lines, "Press any key");
            if (!prompted) {
                FreeConsole();
            }
        }
        if (!prompted) {
            if (WaitForSingleObject(process.hProcess, poll_ms) == WAIT_OBJECT_0) {
                break;
            }
        }
    }
    for (const auto& line : lines) {
        std::printf("screen %s\n", line.c_str());
    }
    if (!prompted) {
        return failed("prompt");
    }
    const HWND window = GetConsoleWindow();
    std::printf("window %s\n", window != nullptr && IsWindowVisible(window) ? "shown" : "none");

    // Still there a second later: it waits for the key rather than ending.
    const bool waiting = WaitForSingleObject(process.hProcess, 1000) == WAIT_TIMEOUT;
    std::printf("waiting %s\n", waiting ? "yes" : "no");
    if (waiting && !press_key('x')) {
        FreeConsole();
        return failed("key");
    }
    FreeConsole(); // so that the console can close once the program has gone

    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        return failed("exit");
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    std::printf("exit %lu\n", status);

    bool gone = window == nullptr;
    for (DWORD waited = 0; !gone && waited < 10000; waited += poll_ms) {
        gone = !IsWindow(window);
        Sleep(poll_ms);
    }
    std::printf("window-gone %s\n", gone ? "yes" : "no");
    std::fflush(stdout);
    return 0;
}

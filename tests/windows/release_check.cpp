// Checks the released hello.exe on Windows as a user meets it: its output
// through a pipe and into a file with input from NUL, its resources as Windows
// reads them, and a console window of its own as a double-click in Explorer
// gives it. The tests run it under wine64 on every CI run; the hosted CI runs
// the same program on a real Windows before anything is published.
//
//   release_check <hello.exe> [pipe|file|resources|console]...
//
// With no check named, it runs them all. It prints "pass <check>" or
// "FAIL <check>: <why>" for each, with what it saw on the lines below, and
// exits 0 if every check passed, 1 if one failed, 2 on a usage error. Every
// wait has a deadline, and no program it starts outlives it.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// What the program must show, and the interpreter's prompt as it begins.
const std::string greeting = "Hello World!\r\n";
const std::string prompt = "Press any key";
constexpr DWORD poll_ms = 50;

struct Verdict {
    bool passed = true;
    std::string why;               // the first thing that was wrong
    std::vector<std::string> seen; // what the check saw, for whoever reads a failure

    void fail(const std::string& reason) {
        if (passed) {
            passed = false;
            why = reason;
        }
    }
    void expect(bool condition, const std::string& reason) {
        if (!condition) {
            fail(reason);
        }
    }
};

std::string last_error(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

// Bytes as a C string literal, so that CR, LF and anything unprintable show.
std::string quoted(const std::string& bytes) {
    std::string text = "\"";
    for (const unsigned char c : bytes) {
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '"' || c == '\\') {
            text += std::string("\\") + static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

// Ends a started program when it goes out of scope, should it still run.
struct Started {
    PROCESS_INFORMATION info{};
    bool ok = false;

    Started() = default;
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;
    ~Started() {
        if (ok) {
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info.hProcess, 1);
            }
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
        }
    }
};

HANDLE inheritable_nul(DWORD access) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                       0, nullptr);
}

void start(Started& started, const char* program, HANDLE in, HANDLE out, HANDLE err, DWORD flags) {
    std::string command_line = std::string("\"") + program + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (in != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
    }
    started.ok = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, in != nullptr,
                                flags, nullptr, nullptr, &startup, &started.info) != FALSE;
}

// Starts the program with its input and error on NUL and its output on `out`,
// which is closed here: from then on the program holds the only copy of it.
void start_writing_to(Started& started, const char* program, HANDLE out) {
    const HANDLE nul_in = inheritable_nul(GENERIC_READ);
    const HANDLE nul_err = inheritable_nul(GENERIC_WRITE);
    start(started, program, nul_in, out, nul_err, 0);
    CloseHandle(out);
    CloseHandle(nul_in);
    CloseHandle(nul_err);
}

// Waits for the program's end; its status, or the reason it has none.
bool wait_exit(const Started& started, DWORD deadline_ms, DWORD& status) {
    if (WaitForSingleObject(started.info.hProcess, deadline_ms) != WAIT_OBJECT_0) {
        return false;
    }
    return GetExitCodeProcess(started.info.hProcess, &status) != FALSE;
}

// Our part of the output exactly, then the interpreter's prompt, and status 0.
void judge_output(Verdict& verdict, const std::string& out, bool ended, DWORD status) {
    verdict.seen.push_back("output " + quoted(out));
    verdict.seen.push_back(ended ? "exit " + std::to_string(status) : "exit (still running)");
    verdict.expect(ended, "it did not end within a minute with its input at end of file");
    verdict.expect(out.compare(0, greeting.size(), greeting) == 0,
                   "the output does not begin with the greeting and CR LF");
    verdict.expect(out.compare(greeting.size(), prompt.size(), prompt) == 0,
                   "the interpreter's prompt does not follow the greeting at once");
    verdict.expect(!ended || status == 0, "the status is not 0");
}

// ---- Through a pipe, input from NUL ------------------------------------------------------

Verdict check_pipe(const char* program) {
    Verdict verdict;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        verdict.fail(last_error("CreatePipe"));
        return verdict;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    Started started;
    start_writing_to(started, program, write_end); // its end is our end of file
    if (!started.ok) {
        verdict.fail(last_error("CreateProcess"));
        CloseHandle(read_end);
        return verdict;
    }

    std::string out;
    for (DWORD waited = 0; waited < 60000; waited += poll_ms) {
        DWORD available = 0;
        if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) {
            break; // every writer has gone
        }
        if (available > 0) {
            std::vector<char> chunk(available);
            DWORD got = 0;
            if (!ReadFile(read_end, chunk.data(), available, &got, nullptr)) {
                break;
            }
            out.append(chunk.data(), got);
        } else {
            Sleep(poll_ms);
        }
    }
    CloseHandle(read_end);
    DWORD status = 0;
    const bool ended = wait_exit(started, 1000, status);
    judge_output(verdict, out, ended, status);
    return verdict;
}

// ---- Into a file, input from NUL ----------------------------------------------------------

Verdict check_file(const char* program) {
    Verdict verdict;
    char folder[MAX_PATH];
    char path[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, folder) || !GetTempFileNameA(folder, "hlo", 0, path)) {
        verdict.fail(last_error("GetTempFileName"));
        return verdict;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        verdict.fail(last_error("CreateFile"));
        return verdict;
    }
    DWORD status = 0;
    bool ended = false;
    {
        Started started;
        start_writing_to(started, program, file);
        if (!started.ok) {
            verdict.fail(last_error("CreateProcess"));
            DeleteFileA(path);
            return verdict;
        }
        ended = wait_exit(started, 60000, status);
    }

    std::string out;
    if (FILE* written = std::fopen(path, "rb")) {
        char chunk[4096];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, written)) > 0;) {
            out.append(chunk, got);
        }
        std::fclose(written);
    }
    DeleteFileA(path);
    judge_output(verdict, out, ended, status);
    return verdict;
}

// ---- The version resource and the manifest, as Windows reads them --------------------------

std::string version_text(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
           std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

Verdict check_resources(const char* program) {
    Verdict verdict;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(program, &ignored);
    std::vector<char> info(size);
    if (size == 0 || !GetFileVersionInfoA(program, 0, size, info.data())) {
        verdict.fail(last_error("GetFileVersionInfo") + ": no version resource");
        return verdict;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) {
        verdict.fail(last_error("VerQueryValue"));
        return verdict;
    }
    const std::string version = HELLO_VERSION ".0";
    const std::string file_version = version_text(fixed->dwFileVersionMS, fixed->dwFileVersionLS),
                      product_version =
                          version_text(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    verdict.seen.push_back("FileVersion " + file_version + ", ProductVersion " + product_version +
                           ", FileType " + std::to_string(fixed->dwFileType));
    verdict.expect(file_version == version && product_version == version,
                   "the fixed version is not " + version);
    verdict.expect(fixed->dwFileType == VFT_APP, "not marked as an application");

    // The strings of the first language the resource lists, as Explorer reads them.
    WORD* translation = nullptr;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
        length < 4) {
        verdict.fail("no translation in the version resource");
        return verdict;
    }
    const std::pair<const char*, const char*> strings[] = {
        {"CompanyName", HELLO_VENDOR},
        {"FileDescription", HELLO_DESCRIPTION},
        {"FileVersion", HELLO_VERSION},
        {"InternalName", "hello"},
        {"LegalCopyright", HELLO_COPYRIGHT},
        {"OriginalFilename", "hello.exe"},
        {"ProductName", "hello"},
        {"ProductVersion", HELLO_VERSION},
    };
    for (const auto& [name, expected] : strings) {
        char query[128];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                      translation[1], name);
        char* value = nullptr;
        const bool found =
            VerQueryValueA(info.data(), query, reinterpret_cast<void**>(&value), &length) &&
            length > 0;
        const std::string shown = found ? value : "(none)";
        verdict.seen.push_back(std::string(name) + " " + shown);
        verdict.expect(shown == expected, std::string(name) + " is not \"" + expected + "\"");
    }

    // The manifest, through an activation context as the loader makes one.
    ACTCTXA request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = program;
    request.lpResourceName = MAKEINTRESOURCEA(1);
    const HANDLE context = CreateActCtxA(&request);
    if (context == INVALID_HANDLE_VALUE) {
        verdict.fail(last_error("CreateActCtx") + ": no manifest Windows can read");
        return verdict;
    }
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run_level{};
    if (!QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &run_level,
                      sizeof run_level, nullptr)) {
        verdict.fail(last_error("QueryActCtx"));
    } else {
        verdict.seen.push_back("RunLevel " + std::to_string(run_level.RunLevel) + ", UiAccess " +
                               std::to_string(run_level.UiAccess));
        verdict.expect(run_level.RunLevel == ACTCTX_RUN_LEVEL_AS_INVOKER && !run_level.UiAccess,
                       "the manifest does not ask to run as the invoker");
    }

    SIZE_T needed = 0;
    QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, nullptr, 0,
                 &needed);
    std::vector<char> compatibility(needed > 0 ? needed : sizeof(DWORD));
    if (!QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext,
                      compatibility.data(), compatibility.size(), nullptr)) {
        verdict.fail(last_error("QueryActCtx"));
    } else {
        // The element count, then the elements. Older systems (and wine) give a
        // GUID and a type each, packed; Windows 10 1903 and later add a 64-bit
        // MaxVersionTested, which also aligns the list to 8 bytes.
        DWORD count = 0;
        std::memcpy(&count, compatibility.data(), sizeof count);
        const bool packed = needed == sizeof(DWORD) + count * (sizeof(GUID) + sizeof(DWORD));
        const size_t first = packed ? sizeof(DWORD) : 8, step = packed ? 20 : 32;
        std::set<std::string> systems;
        for (DWORD i = 0; i < count && first + i * step + sizeof(GUID) <= compatibility.size();
             ++i) {
            GUID id;
            std::memcpy(&id, compatibility.data() + first + i * step, sizeof id);
            char text[40];
            std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                          id.Data1, id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                          id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
            systems.insert(text);
            verdict.seen.push_back(std::string("SupportedOS ") + text);
        }
        const std::set<std::string> vista_to_11 = {
            "{e2011457-1546-43c5-a5fe-008deee3d3f0}", // Vista
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // 10 and 11
        };
        verdict.expect(systems == vista_to_11,
                       "the manifest does not name every Windows from Vista to 11");
    }
    ReleaseActCtx(context);
    return verdict;
}

// ---- A console window of its own, as Explorer starts it ----------------------------------

// Every line of the attached console's screen buffer, trailing blanks cut, empty lines dropped.
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

bool shows_prompt(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        if (line.find(prompt) != std::string::npos) {
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

Verdict check_console(const char* program) {
    Verdict verdict;
    Started started;
    start(started, program, nullptr, nullptr, nullptr, CREATE_NEW_CONSOLE);
    if (!started.ok) {
        verdict.fail(last_error("CreateProcess"));
        return verdict;
    }

    // Our own console, if any, is let go: from here on we look at the program's.
    FreeConsole();
    std::vector<std::string> lines;
    bool prompted = false;
    for (DWORD waited = 0; !prompted && waited < 60000; waited += poll_ms) {
        if (AttachConsole(started.info.dwProcessId)) {
            lines = screen_lines();
            prompted = shows_prompt(lines);
            if (!prompted) {
                FreeConsole();
            }
        }
        if (!prompted && WaitForSingleObject(started.info.hProcess, poll_ms) == WAIT_OBJECT_0) {
            break;
        }
    }
    for (const auto& line : lines) {
        verdict.seen.push_back("screen " + line);
    }
    if (!prompted) {
        verdict.fail("no prompt on its console within a minute");
        return verdict;
    }
    verdict.expect(lines.size() >= 2 && lines[0] == "Hello World!",
                   "the greeting is not the console's first line");
    verdict.expect(lines.size() >= 2 && lines[1].rfind(prompt, 0) == 0,
                   "the prompt is not on the line after the greeting");
    const HWND window = GetConsoleWindow();
    verdict.expect(window != nullptr && IsWindowVisible(window), "no console window is shown");

    // Still there a second later: it waits for the key rather than ending.
    const bool waiting = WaitForSingleObject(started.info.hProcess, 1000) == WAIT_TIMEOUT;
    verdict.expect(waiting, "it did not wait for a key");
    if (waiting && !press_key('x')) {
        verdict.fail(last_error("WriteConsoleInput"));
    }
    FreeConsole(); // so that the console can close once the program has gone

    DWORD status = 0;
    const bool ended = wait_exit(started, 30000, status);
    verdict.seen.push_back(ended ? "exit " + std::to_string(status) : "exit (still running)");
    verdict.expect(ended, "still running half a minute after the key");
    verdict.expect(!ended || status == 0, "the status is not 0");

    bool gone = window == nullptr;
    for (DWORD waited = 0; ended && !gone && waited < 10000; waited += poll_ms) {
        gone = !IsWindow(window);
        Sleep(poll_ms);
    }
    verdict.expect(!ended || gone, "its console window stayed after it ended");
    return verdict;
}

struct Check {
    const char* name;
    Verdict (*run)(const char* program);
};

constexpr Check checks[] = {
    {"pipe", check_pipe},
    {"file", check_file},
    {"resources", check_resources},
    {"console", check_console}, // last: it lets go of this program's own console
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: release_check <hello.exe> [pipe|file|resources|console]...\n");
        return 2;
    }
    std::set<std::string> wanted(argv + 2, argv + argc);
    for (const auto& name : wanted) {
        bool known = false;
        for (const Check& check : checks) {
            known = known || name == check.name;
        }
        if (!known) {
            std::printf("no such check: %s\n", name.c_str());
            return 2;
        }
    }

    bool all_passed = true;
    for (const Check& check : checks) {
        if (!wanted.empty() && wanted.count(check.name) == 0) {
            continue;
        }
        const Verdict verdict = check.run(argv[1]);
        all_passed = all_passed && verdict.passed;
        if (verdict.passed) {
            std::printf("pass %s\n", check.name);
        } else {
            std::printf("FAIL %s: %s\n", check.name, verdict.why.c_str());
        }
        for (const auto& line : verdict.seen) {
            std::printf("  %s\n", line.c_str());
        }
        std::fflush(stdout);
    }
    return all_passed ? 0 : 1;
}

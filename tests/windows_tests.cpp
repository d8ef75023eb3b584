// The Windows programs. The 32-bit one, the product, is checked as a file: what
// a bare Windows machine needs to start it. Its behaviour is run from the same
// source built for x64, under wine64, whose msvcrt.dll and cmd.exe are real
// implementations of the platform's runtime library and command interpreter.
#include "process.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace proc;

namespace {

// ---- The files ------------------------------------------------------------------------

struct Program {
    const char* exe;
    const char* objdump;
    std::string format; // objdump's name for the file format
    std::string magic;  // PE32 for 32-bit, PE32+ for 64-bit
};

// What `objdump -p` says of a PE file, with DLL names in lower case.
struct PeHeaders {
    std::string format, magic, subsystem;
    unsigned long dll_characteristics = 0;
    std::map<std::string, std::set<std::string>> imports; // DLL: functions
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The text inside the line's parentheses: "Magic  010b  (PE32)" gives "PE32".
std::string in_parentheses(const std::string& line) {
    const auto open = line.find('('), close = line.rfind(')');
    return open < close && close != std::string::npos ? line.substr(open + 1, close - open - 1)
                                                      : "";
}

PeHeaders read_headers(const Program& program) {
    const Result dump = run({.argv = {program.objdump, "-p", program.exe}});
    EXPECT_TRUE(dump.exited_with(0)) << dump;

    PeHeaders headers;
    std::istringstream lines(dump.out);
    std::string dll; // the DLL whose imports are being listed
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> word = words_of(line);
        const std::string first = word.empty() ? "" : word[0];
        if (const auto at = line.find("file format "); at != std::string::npos) {
            headers.format = line.substr(at + 12);
        } else if (first == "Magic") {
            headers.magic = in_parentheses(line);
        } else if (first == "Subsystem") {
            headers.subsystem = in_parentheses(line);
        } else if (first == "DllCharacteristics" && word.size() > 1) {
            headers.dll_characteristics = std::stoul(word[1], nullptr, 16);
        } else if (const auto name = line.find("DLL Name: "); name != std::string::npos) {
            dll = lower(line.substr(name + 10));
            headers.imports[dll];
        } else if (word.empty()) {
            dll.clear();
        } else if (!dll.empty() && word.size() == 3 &&
                   word[1].find_first_not_of("0123456789") == std::string::npos) {
            headers.imports[dll].insert(word[2]); // "<address> <hint> <function>"
        }
    }
    return headers;
}

class WindowsProgram : public ::testing::TestWithParam<Case<Program>> {
  protected:
    void SetUp() override {
        REQUIRE_OR_SKIP(*GetParam().data.exe != '\0',
                        "no MinGW-w64 cross compiler: the Windows program was not built");
        REQUIRE_OR_SKIP(*GetParam().data.objdump != '\0', "no MinGW-w64 objdump");
        headers_ = read_headers(GetParam().data);
    }
    PeHeaders headers_;
};

TEST_P(WindowsProgram, IsAConsoleProgramForItsProcessor) {
    EXPECT_EQ(headers_.format, GetParam().data.format);
    EXPECT_EQ(headers_.magic, GetParam().data.magic);
    EXPECT_EQ(headers_.subsystem, "Windows CUI");
}

TEST_P(WindowsProgram, ImportsOnlyWhatEveryWindowsHas) {
    std::set<std::string> dlls;
    for (const auto& [name, functions] : headers_.imports) {
        dlls.insert(name);
    }
    EXPECT_EQ(dlls, (std::set<std::string>{"kernel32.dll", "msvcrt.dll"}));
    const auto& runtime = headers_.imports["msvcrt.dll"];
    EXPECT_TRUE(runtime.count("puts") == 1 && runtime.count("system") == 1)
        << "puts and system must come from the system's msvcrt.dll";
}

TEST_P(WindowsProgram, HasAslrAndDep) {
    constexpr unsigned long dynamic_base = 0x0040, nx_compat = 0x0100;
    EXPECT_EQ(headers_.dll_characteristics & dynamic_base, dynamic_base);
    EXPECT_EQ(headers_.dll_characteristics & nx_compat, nx_compat);
}

INSTANTIATE_TEST_SUITE_P(
    Built, WindowsProgram,
    ::testing::Values(Case<Program>{"X86", {X86_HELLO, X86_OBJDUMP, "pei-i386", "PE32"}},
                      Case<Program>{"X64", {X64_HELLO, X64_OBJDUMP, "pei-x86-64", "PE32+"}}),
    case_name);

// ---- The behaviour, under wine64 -------------------------------------------------------

const std::string greeting = "Hello World!\r\n";  // standard output is in text mode
const std::string pause_prompt = "Press any key"; // how cmd's prompt begins

class Wine : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_OR_SKIP(*X64_HELLO != '\0',
                        "no x86_64-w64-mingw32-g++: the x64 program was not built");
        REQUIRE_OR_SKIP(*WINE != '\0', "wine64 is not installed");
    }

    static Environment wine_env(const std::string& extra_overrides = "") {
        return environment_with({"WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=" WINE_DEBUG,
                                 "WINEDLLOVERRIDES=" WINE_DLL_OVERRIDES + extra_overrides});
    }

    static Launch hello(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {WINE, X64_HELLO});
        return {.argv = args, .env = wine_env(), .input = Input::dev_null, .deadline = 60s};
    }
};

// The greeting with its CR LF, then straight after it what cmd's pause writes.
void expect_greeting_then_pause(const Result& result) {
    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out.substr(0, greeting.size()), greeting) << result;
    EXPECT_EQ(result.out.find(pause_prompt), greeting.size()) << result;
}

class WineStdout : public Wine, public ::testing::WithParamInterface<Case<Output>> {};

TEST_P(WineStdout, GreetingWithCrLfThenThePausePrompt) {
    Launch launch = hello();
    launch.output = GetParam().data;

    expect_greeting_then_pause(run(launch));
}

INSTANTIATE_TEST_SUITE_P(To, WineStdout,
                         ::testing::Values(Case<Output>{"Pipe", Output::pipe},
                                           Case<Output>{"File", Output::file}),
                         case_name);

using Args = std::vector<std::string>;

class WineArguments : public Wine, public ::testing::WithParamInterface<Case<Args>> {};

TEST_P(WineArguments, ChangeNothing) {
    expect_greeting_then_pause(run(hello(GetParam().data)));
}

INSTANTIATE_TEST_SUITE_P(Any, WineArguments,
                         ::testing::Values(Case<Args>{"Empty", {""}},
                                           Case<Args>{"OptionLike", {"/?", "-h", "--help"}},
                                           Case<Args>{"CmdSyntax", {"& exit 3", "|", "%PATH%"}},
                                           Case<Args>{"QuotesAndSpaces", {"a b", "\"q\""}},
                                           Case<Args>{"NotAscii", {"caf\xc3\xa9"}},
                                           Case<Args>{"Hundreds", Args(200, "arg")}),
                         case_name);

TEST_F(Wine, StatusIsZeroWhenTheInterpreterCannotStart) {
    // cmd.exe disabled for this run alone: the prefix itself is left untouched.
    Launch launch = hello();
    launch.env = wine_env(";cmd.exe=d");
    launch.input = Input::silent_pipe; // a program that waited would time out

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out, greeting);
}

TEST_F(Wine, StatusIsZeroWhenTheReaderHasGone) {
    Launch launch = hello();
    launch.output = Output::broken_pipe;

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
}

// Wine draws its console with escape sequences; this is the text they leave on
// screen, with cursor-forward moves (how it draws a space) turned into spaces.
std::string visible(const std::string& screen) {
    std::string text;
    for (size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] != '\x1b' || i + 1 == screen.size()) {
            text += screen[i];
        } else if (screen[i + 1] == '[') { // CSI: parameters, then one final byte
            size_t end = i + 2;
            while (end < screen.size() && (screen[end] < '@' || screen[end] > '~')) {
                ++end;
            }
            if (end < screen.size() && screen[end] == 'C') {
                const std::string count = screen.substr(i + 2, end - i - 2);
                text.append(count.empty() ? 1 : std::stoul(count), ' ');
            }
            i = end;
        } else if (screen[i + 1] == ']') { // OSC: up to BEL
            i = std::min(screen.find('\x07', i), screen.size());
        } else {
            ++i; // a two-byte escape
        }
    }
    return text;
}

TEST_F(Wine, OnATerminalGreetsThenWaitsForOneKey) {
    Terminal terminal({WINE, X64_HELLO}, wine_env());

    const bool prompted = terminal.wait_for(
        [](const std::string& screen) {
            return visible(screen).find(pause_prompt) != std::string::npos;
        },
        60s);
    ASSERT_TRUE(prompted) << testing::PrintToString(terminal.screen());
    const std::string shown = visible(terminal.screen());
    EXPECT_LT(shown.find("Hello World!"), shown.find(pause_prompt)) << shown;
    ASSERT_FALSE(terminal.wait_exit(1s)) << "did not wait for a key";

    terminal.type("x");
    const auto result = terminal.wait_exit(30s);

    ASSERT_TRUE(result) << "still waiting after the key";
    EXPECT_TRUE(result->exited_with(0)) << *result;
}

} // namespace

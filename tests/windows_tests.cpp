// The Windows programs. The 32-bit one, the product, is checked as a file: what
// a bare Windows machine needs to start it. Its behaviour is run from the same
// source built for x64, under wine64, whose msvcrt.dll and cmd.exe are real
// implementations of the platform's runtime library and command interpreter.
#include "pe.hpp"
#include "process.hpp"

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
    PeExpected expected;
};

class WindowsProgram : public ::testing::TestWithParam<Case<Program>> {
  protected:
    void SetUp() override {
        REQUIRE_ON_LINUX_OR_SKIP(*GetParam().data.exe != '\0',
                                 "no MinGW-w64 cross compiler: the Windows program was not built");
        REQUIRE_ON_LINUX_OR_SKIP(*GetParam().data.objdump != '\0', "no MinGW-w64 objdump");
    }
};

TEST_P(WindowsProgram, IsAConsoleProgramWithTheFlagsAndImportsOfAnyWindowsProgram) {
    expect_runs_on_any_windows(GetParam().data.objdump, GetParam().data.exe,
                               GetParam().data.expected);
}

INSTANTIATE_TEST_SUITE_P(Built, WindowsProgram,
                         ::testing::Values(Case<Program>{"X86", {X86_HELLO, X86_OBJDUMP, pe_x86}},
                                           Case<Program>{"X64", {X64_HELLO, X64_OBJDUMP, pe_x64}}),
                         case_name);

// ---- The behaviour, under wine64 -------------------------------------------------------

const std::string greeting = "Hello World!\r\n";  // standard output is in text mode
const std::string pause_prompt = "Press any key"; // how cmd's prompt begins

class Wine : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_ON_LINUX_OR_SKIP(*X64_HELLO != '\0',
                                 "no x86_64-w64-mingw32-g++: the x64 program was not built");
        REQUIRE_ON_LINUX_OR_SKIP(*WINE != '\0', "wine64 is not installed");
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

// ---- The resources, as Windows reads them ----------------------------------------------

// Each "name value" line of the probe's output.
std::multimap<std::string, std::string> probe_lines(const std::string& out) {
    std::multimap<std::string, std::string> items;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto space = line.find(' ');
        items.emplace(line.substr(0, space),
                      space == std::string::npos ? "" : line.substr(space + 1));
    }
    return items;
}

class WineResources : public Wine, public ::testing::WithParamInterface<Case<const char*>> {};

TEST_P(WineResources, VersionAndManifestAreWhatWindowsReads) {
    REQUIRE_ON_LINUX_OR_SKIP(*GetParam().data != '\0' && *RESOURCE_PROBE != '\0',
                             "no MinGW-w64 cross compiler: the program or the probe was not built");
    // Wine sees this machine's root as drive Z:.
    const Result probe = run({.argv = {WINE, RESOURCE_PROBE, std::string("Z:") + GetParam().data},
                              .env = wine_env(),
                              .input = Input::dev_null,
                              .deadline = 60s});
    ASSERT_TRUE(probe.exited_with(0)) << "Windows could not read the resources: " << probe;
    const auto items = probe_lines(probe.out);
    const auto value = [&](const std::string& name) {
        const auto found = items.find(name);
        return found == items.end() ? std::string("(none)") : found->second;
    };

    EXPECT_EQ(value("FileVersion"), VERSION ".0");
    EXPECT_EQ(value("ProductVersion"), VERSION ".0");
    EXPECT_EQ(value("FileType"), "1") << "not marked as an application";
    const std::map<std::string, std::string> strings = {
        {"CompanyName", "The hello developers"},
        {"FileDescription", DESCRIPTION},
        {"FileVersion", VERSION},
        {"InternalName", "hello"},
        {"LegalCopyright", COPYRIGHT},
        {"OriginalFilename", "hello.exe"},
        {"ProductName", "hello"},
        {"ProductVersion", VERSION},
    };
    std::map<std::string, std::string> shown;
    for (auto [at, end] = items.equal_range("String"); at != end; ++at) {
        const auto space = at->second.find(' ');
        shown[at->second.substr(0, space)] = at->second.substr(space + 1);
    }
    EXPECT_EQ(shown, strings);

    EXPECT_EQ(value("RunLevel"), "asInvoker");
    EXPECT_EQ(value("UiAccess"), "0");
    std::set<std::string> systems;
    for (auto [at, end] = items.equal_range("SupportedOS"); at != end; ++at) {
        systems.insert(at->second);
    }
    EXPECT_EQ(systems, (std::set<std::string>{
                           "{e2011457-1546-43c5-a5fe-008deee3d3f0}", // Vista
                           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
                           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // 10 and 11
                       }));
}

INSTANTIATE_TEST_SUITE_P(Of, WineResources,
                         ::testing::Values(Case<const char*>{"X86", X86_HELLO},
                                           Case<const char*>{"X64", X64_HELLO}),
                         case_name);

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

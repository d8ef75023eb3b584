// The Windows program. The one in the release zip, what users get, runs under
// wine64 as the 32-bit program it is, through wine's WoW64 layer, on wine's
// own msvcrt.dll and cmd.exe: through pipes and files, on a terminal, and in a
// console window of its own as a double-click in Explorer starts it, the last
// three through the release checker that the hosted CI also runs on a real
// Windows. The build tree's program is checked as a file.
#include "config.hpp"
#include "files.hpp"
#include "pe.hpp"
#include "terminal.hpp"
#include "testing.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace proc;

namespace {

namespace fs = std::filesystem;

// ---- The file ---------------------------------------------------------------------------

TEST(WindowsProgram, IsAConsoleProgramWithTheFlagsAndImportsOfAnyWindowsProgram) {
    REQUIRE_ON_LINUX_OR_SKIP(*config::built_hello != '\0',
                             "no i686-w64-mingw32-g++: the Windows program was not built");
    REQUIRE_ON_LINUX_OR_SKIP(*config::x86_objdump != '\0', "no MinGW-w64 objdump");

    RUN_TOOL(dump, {.argv = {config::x86_objdump, "-p", config::built_hello}});
    ASSERT_THAT(dump, ExitedWith(0));
    EXPECT_TRUE(runs_on_any_windows(read_pe_headers(dump.out), pe_x86));
}

// The PE reader, on the first bytes of a PE file: a DOS header that points at
// "PE\0\0", then the COFF header.
std::string pe_sample(std::uint32_t pe_offset = 0x80) {
    std::string bytes(0x80 + 24, '\0');
    const auto put = [&](size_t at, std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
        }
    };
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put(0x3c, pe_offset, 4);
    bytes.replace(0x80, 4, std::string("PE\0\0", 4));
    put(0x84, 0x14c, 2);      // machine
    put(0x88, 0x65a1b2c3, 4); // time
    put(0x8c, 0x00012340, 4); // symbol table
    put(0x90, 874, 4);        // symbols
    return bytes;
}

struct PeBytes {
    std::string bytes;
    bool is_pe;
};

class PeReader : public ::testing::TestWithParam<Case<PeBytes>> {};

TEST_P(PeReader, ReadsTheCoffHeaderOfAPeFileAndNothingElse) {
    const auto header = read_coff_header(GetParam().data.bytes);

    ASSERT_EQ(header.has_value(), GetParam().data.is_pe);
    if (header) {
        EXPECT_EQ(header->machine, 0x14c);
        EXPECT_EQ(header->time_date_stamp, 0x65a1b2c3u);
        EXPECT_EQ(header->symbol_table, 0x12340u);
        EXPECT_EQ(header->symbol_count, 874u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Of, PeReader,
    ::testing::Values(Case<PeBytes>{"PeFile", {pe_sample(), true}},
                      Case<PeBytes>{"NoMz", {"XZ" + pe_sample().substr(2), false}},
                      Case<PeBytes>{"NoPeSignature", {pe_sample(0x40), false}},
                      Case<PeBytes>{"HeaderCutShort", {pe_sample().substr(0, 0x80 + 20), false}},
                      Case<PeBytes>{"OffsetPastTheEnd", {pe_sample(0xfffffff0), false}},
                      Case<PeBytes>{"Empty", {"", false}}),
    case_name);

// What objdump -p prints, cut down to the lines the reader reads and a few it skips.
const std::string objdump_sample = "\n"
                                   "hello.exe:     file format pei-i386\n"
                                   "\n"
                                   "Magic\t\t\t010b\t(PE32)\n"
                                   "Subsystem\t\t00000003\t(Windows CUI)\n"
                                   "DllCharacteristics\t00008140\n"
                                   "\n"
                                   "\tDLL Name: KERNEL32.dll\n"
                                   "\tvma:  Hint/Ord Member-Name Bound-To\n"
                                   "\t71da\t  617  GetLastError\n"
                                   "\n"
                                   "\tDLL Name: msvcrt.dll\n"
                                   "\t73b4\t 1047  puts\n"
                                   "\t73da\t 1106  system\n"
                                   "\n";

TEST(PeReader, ReadsWhatObjdumpPrintsOfTheHeadersAndImports) {
    const PeHeaders headers = read_pe_headers(objdump_sample);

    EXPECT_EQ(headers.format, "pei-i386");
    EXPECT_EQ(headers.magic, "PE32");
    EXPECT_EQ(headers.subsystem, "Windows CUI");
    EXPECT_EQ(headers.dll_characteristics, 0x8140u);
    EXPECT_EQ(headers.imports,
              (std::map<std::string, std::set<std::string>>{{"kernel32.dll", {"GetLastError"}},
                                                            {"msvcrt.dll", {"puts", "system"}}}));
    EXPECT_TRUE(runs_on_any_windows(headers, pe_x86));
}

TEST(PeReader, ChecksEachThingThatWouldStopAProgramOnABareWindows) {
    PeHeaders gui = read_pe_headers(objdump_sample);
    gui.subsystem = "Windows GUI";
    PeHeaders extra_dll = read_pe_headers(objdump_sample);
    extra_dll.imports["libgcc_s_dw2-1.dll"] = {"__udivdi3"};
    PeHeaders no_aslr = read_pe_headers(objdump_sample);
    no_aslr.dll_characteristics &= ~dynamic_base;

    EXPECT_FALSE(runs_on_any_windows(gui, pe_x86));
    EXPECT_FALSE(runs_on_any_windows(extra_dll, pe_x86));
    EXPECT_FALSE(runs_on_any_windows(no_aslr, pe_x86));
}

// ---- The zipped program, under wine64 ---------------------------------------------------

const std::string greeting = "Hello World!\r\n"; // standard output is in text mode
const std::string cmd_prompt = "Press any key";  // how cmd's prompt begins

// Wine sees this machine's root as drive Z:.
std::string windows_path(const std::string& path) {
    return "Z:" + path;
}

class Wine : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_ON_LINUX_OR_SKIP(*config::built_hello != '\0',
                                 "no i686-w64-mingw32-g++: the Windows program was not built");
        REQUIRE_ON_LINUX_OR_SKIP(*config::wine != '\0', "wine64 or Xvfb is not installed");
        // Some kernels run no 32-bit code at all, and then nothing can run the program.
        const Result ia32 = run({.argv = {config::ia32_probe}, .deadline = 10s});
        SKIP_UNLESS_PLATFORM_HAS(ia32.exited_with(0),
                                 "this kernel runs no 32-bit code (IA32 emulation is off), so "
                                 "wine64's WoW64 cannot run a 32-bit Windows program here");
        const bool ready =
            fs::exists(fs::path(config::wine_dll_path) / "i386-windows" / "ntdll.dll") &&
            !fs::exists(config::wow64_missing);
        REQUIRE_ON_LINUX_OR_SKIP(ready, "wine's 32-bit libraries and a WoW64 prefix: " +
                                            (fs::exists(config::wow64_missing)
                                                 ? read_file(config::wow64_missing)
                                                 : std::string("not fetched: ctest's wine.libs "
                                                               "step fetches them")));
        ASSERT_TRUE(fs::exists(config::released_hello)) << "the release zip was not unpacked";
        display_ = read_file(config::wine_display_file);
        ASSERT_FALSE(display_.empty()) << "no X server: ctest's wine.start step did not run";
        display_.erase(display_.find_last_not_of('\n') + 1);
        // Without the run's one wine server, this case would start wine on a server of its own.
        const std::string server = read_file(config::wine_server_pid_file);
        ASSERT_FALSE(server.empty()) << "no wine server: ctest's wine.start step did not start one";
        ASSERT_EQ(kill(std::stoi(server), 0), 0)
            << "the run's wine server has ended before wine.stop; its log: "
            << fs::path(config::wine_server_pid_file).replace_filename("wineserver.log");
    }

    Environment wine_env(const std::string& extra_overrides = "") const {
        return environment_with(
            {std::string("WINEPREFIX=") + config::wine_prefix,
             std::string("WINEDEBUG=") + config::wine_debug,
             std::string("WINEDLLOVERRIDES=") + config::wine_dll_overrides + extra_overrides,
             std::string("WINEDLLPATH=") + config::wine_dll_path, "DISPLAY=:" + display_});
    }

    // Runs the release checker on the zipped program, as a 32-bit process
    // like it, with the checks named (all of them where none is).
    Result check(const std::vector<std::string>& checks,
                 const std::string& program = config::released_hello) const {
        std::vector<std::string> argv = {config::wine, config::release_check,
                                         windows_path(program)};
        argv.insert(argv.end(), checks.begin(), checks.end());
        return run({.argv = argv, .env = wine_env(), .input = Input::dev_null, .deadline = 180s});
    }

    std::string display_;
};

using Args = std::vector<std::string>;

// What a run must show on its standard output.
enum class Shows {
    greeting_then_prompt, // the line with its CR LF, then straight after it cmd's pause prompt
    greeting_only,        // the line and nothing else: no interpreter ran
    anything,             // nobody reads it
};

struct WineRun {
    Output output = Output::pipe;
    Args args = {};
    std::string overrides = ""; // more WINEDLLOVERRIDES, for this run alone
    Input input = Input::dev_null;
    Shows shows = Shows::greeting_then_prompt;
};

class WineRuns : public Wine, public ::testing::WithParamInterface<Case<WineRun>> {};

TEST_P(WineRuns, EndWithStatusZeroHavingShownWhatTheyShould) {
    const WineRun& row = GetParam().data;
    Args argv = {config::wine, config::released_hello};
    argv.insert(argv.end(), row.args.begin(), row.args.end());

    const Result result = run({.argv = argv,
                               .env = wine_env(row.overrides),
                               .input = row.input,
                               .output = row.output,
                               .deadline = 60s});

    EXPECT_THAT(result, ExitedWith(0));
    if (row.shows == Shows::greeting_then_prompt) {
        EXPECT_EQ(result.out.substr(0, greeting.size()), greeting) << result;
        EXPECT_EQ(result.out.find(cmd_prompt), greeting.size()) << result;
    } else if (row.shows == Shows::greeting_only) {
        EXPECT_EQ(result.out, greeting) << result;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Of, WineRuns,
    ::testing::Values(Case<WineRun>{"ThroughAPipe", {}},
                      Case<WineRun>{"IntoAFile", {.output = Output::file}},
                      Case<WineRun>{"WithAnEmptyArgument", {.args = {""}}},
                      Case<WineRun>{"WithOptionLikeArguments", {.args = {"/?", "-h", "--help"}}},
                      Case<WineRun>{"WithCmdSyntaxAsArguments",
                                    {.args = {"& exit 3", "|", "%PATH%"}}},
                      Case<WineRun>{"WithQuotesAndSpaces", {.args = {"a b", "\"q\""}}},
                      Case<WineRun>{"WithANonAsciiArgument", {.args = {"caf\xc3\xa9"}}},
                      Case<WineRun>{"WithHundredsOfArguments", {.args = Args(200, "arg")}},
                      // cmd.exe disabled for this run alone: the prefix itself is left untouched.
                      // Input stays open and silent, so a program that waited would time out.
                      Case<WineRun>{"WithNoInterpreter",
                                    {.overrides = ";cmd.exe=d",
                                     .input = Input::silent_pipe,
                                     .shows = Shows::greeting_only}},
                      Case<WineRun>{"WithTheReaderGone",
                                    {.output = Output::broken_pipe, .shows = Shows::anything}}),
    case_name);

// ---- Through the release checker, which the hosted CI runs on a real Windows ----------

class ReleaseCheck : public Wine,
                     public ::testing::WithParamInterface<Case<std::vector<std::string>>> {};

TEST_P(ReleaseCheck, PassesOnTheZippedProgram) {
    const std::vector<std::string>& checks = GetParam().data;

    const Result result = check(checks);

    EXPECT_THAT(result, ExitedWith(0));
    for (const char* name : {"pipe", "file", "resources", "console"}) {
        const bool named = checks.empty() || std::count(checks.begin(), checks.end(), name) > 0;
        EXPECT_EQ(result.out.find(std::string("pass ") + name) != std::string::npos, named)
            << name << "\n"
            << result;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Of, ReleaseCheck,
    ::testing::Values(
        // Exact bytes with input from NUL, as cmd.exe's "hello.exe < NUL > out.txt" would run it.
        Case<std::vector<std::string>>{"ThroughAPipe", {"pipe"}},
        Case<std::vector<std::string>>{"IntoAFile", {"file"}},
        // The version resource as Explorer's Properties > Details shows it, and the manifest
        // as the loader reads it.
        Case<std::vector<std::string>>{"Resources", {"resources"}},
        // As Explorer starts it on a double-click: a console window of its own, on the X
        // server of this run, read through the console API, with the key pressed there.
        Case<std::vector<std::string>>{"InAConsoleWindowOfItsOwn", {"console"}},
        Case<std::vector<std::string>>{"AllAsTheHostedCiRunsIt", {}}),
    case_name);

TEST_F(Wine, ReleaseCheckFailsOnAProgramThatIsNotTheRelease) {
    const Result result = check({"pipe", "resources"}, config::release_check);

    EXPECT_THAT(result, ExitedWith(1));
    EXPECT_NE(result.out.find("FAIL pipe"), std::string::npos) << result;
    EXPECT_NE(result.out.find("FAIL resources"), std::string::npos) << result;
}

TEST_F(Wine, OnATerminalGreetsThenWaitsForOneKey) {
    Terminal terminal({config::wine, config::released_hello}, wine_env());

    ASSERT_TRUE(terminal.wait_for(
        [](const std::string& screen) {
            return visible(screen).find(cmd_prompt) != std::string::npos;
        },
        60s));
    const std::string shown = visible(terminal.screen());
    EXPECT_LT(shown.find("Hello World!"), shown.find(cmd_prompt)) << shown;
    ASSERT_FALSE(terminal.wait_exit(1s)) << "did not wait for a key";

    terminal.type("x");
    const auto result = terminal.wait_exit(30s);

    ASSERT_TRUE(result) << "still waiting after the key";
    EXPECT_THAT(*result, ExitedWith(0));
}

} // namespace

// The program as a process: the bytes it writes, the command it hands to the
// shell, and its exit status, whatever the shell, the command or the output does.
#include "process.hpp"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace proc;

namespace {

const std::string greeting = "Hello World!\n";
const std::string system_path = "/usr/bin:/bin";

// A `pause` of the test's own, first on PATH, so each test decides what the
// command does. "$MARK" names a file the script may write to show it ran.
class FakePause {
  public:
    explicit FakePause(const std::string& body) {
        dir_.write_script("pause", "MARK='" + mark().string() + "'\n" + body);
    }
    // One that records what it was handed: its arguments, all of the input that
    // is left for it (so its input must end), and a line on its stderr.
    static FakePause recording() {
        return FakePause("printf '%s\\n' \"$#\" \"$@\" > \"$MARK.args\"\n"
                         "cat > \"$MARK.input\" 2>/dev/null || echo '(closed)' > \"$MARK.input\"\n"
                         "echo 'from pause' >&2\n"
                         "echo ran > \"$MARK\"");
    }
    // Its argument count and arguments, a line each.
    std::string arguments() const {
        return read_file(mark().string() + ".args");
    }
    std::string input() const {
        return read_file(mark().string() + ".input");
    }
    Environment env() const {
        return environment_with({"PATH=" + dir_.path().string() + ":" + system_path});
    }
    std::filesystem::path mark() const {
        return dir_.path() / "ran";
    }
    std::string marked() const {
        return read_file(mark());
    }

  private:
    TempDir dir_;
};

Launch hello(const Environment& env, std::vector<std::string> args = {}) {
    args.insert(args.begin(), HELLO);
    return {.argv = args, .env = env, .deadline = 5s};
}

// ---- What it writes ---------------------------------------------------------------

class Stdout : public ::testing::TestWithParam<Case<Output>> {};

TEST_P(Stdout, IsExactlyTheGreetingLine) {
    const FakePause pause("echo ran > \"$MARK\"");
    Launch launch = hello(pause.env());
    launch.output = GetParam().data;

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out, greeting);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(pause.marked(), "ran\n") << "the command did not run";
}

TEST_P(Stdout, GreetingLandsBeforeWhatTheCommandWrites) {
    // Through a pipe or into a file stdout is fully buffered: only a flush
    // before the command keeps the greeting first.
    const FakePause pause("echo 'Press any key'");
    Launch launch = hello(pause.env());
    launch.output = GetParam().data;

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out, greeting + "Press any key\n");
}

INSTANTIATE_TEST_SUITE_P(To, Stdout,
                         ::testing::Values(Case<Output>{"Pipe", Output::pipe},
                                           Case<Output>{"File", Output::file}),
                         case_name);

// ---- What it reads: nothing ---------------------------------------------------------

using Args = std::vector<std::string>;

class Arguments : public ::testing::TestWithParam<Case<Args>> {};

TEST_P(Arguments, ChangeNothingAndAreNotHandedOn) {
    const FakePause pause = FakePause::recording();
    Launch launch = hello(pause.env(), GetParam().data);
    launch.input = Input::dev_null;

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out, greeting);
    EXPECT_EQ(result.err, "from pause\n") << "the command's stderr is not the program's";
    EXPECT_EQ(pause.marked(), "ran\n");
    EXPECT_EQ(pause.arguments(), "0\n") << "the command was given arguments";
}

std::vector<Case<Args>> argument_cases() {
    return {
        {"None", {}},
        {"Empty", {""}},
        {"OptionLike", {"-h", "--help", "/?", "--", "-"}},
        {"ShellSyntax", {"; exit 3", "$(false)", "|", "&&", "`id`"}},
        {"NotUtf8", {"\xff\xfe\x80", "caf\xe9"}},
        {"VeryLong", {std::string(100'000, 'x')}},
        {"Hundreds", Args(500, "arg")},
    };
}

INSTANTIATE_TEST_SUITE_P(Any, Arguments, ::testing::ValuesIn(argument_cases()), case_name);

struct Given {
    Input input;
    std::string left; // what the command finds left of it
};

class StandardInput : public ::testing::TestWithParam<Case<Given>> {};

TEST_P(StandardInput, ChangesNothingAndIsLeftWholeForTheCommand) {
    const FakePause pause = FakePause::recording();
    Launch launch = hello(pause.env());
    launch.input = GetParam().data.input;
    launch.input_bytes = "y\nmore\n";

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out, greeting);
    EXPECT_EQ(pause.marked(), "ran\n");
    EXPECT_EQ(pause.input(), GetParam().data.left) << "the program took some of the input";
}

INSTANTIATE_TEST_SUITE_P(AnyKind, StandardInput,
                         ::testing::Values(Case<Given>{"AtEndOfFile", {Input::dev_null, ""}},
                                           Case<Given>{"Closed", {Input::closed, "(closed)\n"}},
                                           Case<Given>{"HoldingLines",
                                                       {Input::bytes, "y\nmore\n"}}),
                         case_name);

TEST(Environment, EmptyChangesNothingOfItsOwn) {
    // With no PATH the shell looks only in its default places; whatever it
    // finds or misses there, the program's own part stays the same.
    Launch launch = hello(Environment{});
    launch.input = Input::dev_null;

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out.substr(0, greeting.size()), greeting);
}

// ---- Whatever the command does, the status is 0 -------------------------------------

// The fake pause's script; none: no `pause` on PATH at all.
using Script = std::optional<std::string>;

class Command : public ::testing::TestWithParam<Case<Script>> {};

TEST_P(Command, LeavesTheLineAndStatusZeroWithoutWaiting) {
    const FakePause pause(GetParam().data.value_or(""));
    const Environment env =
        GetParam().data ? pause.env() : environment_with({"PATH=" + system_path});

    // Standard input is open but silent: a program that waited would time out.
    const Result result = run(hello(env));

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out, greeting);
}

// A shell's exit code n comes back from system() as n << 8, which is 0 again once
// cut to 8 bits: only a shell killed by a signal shows a program that returns
// system()'s result. The script kills the shell that runs it, or, where that
// shell ran it in its own place, itself.
const std::string kill_the_shell =
    "parent=$(cat /proc/$PPID/comm 2>/dev/null || ps -o comm= -p $PPID)\n"
    "case $parent in *hello*) kill -KILL $$ ;; *) kill -KILL $PPID ;; esac";

INSTANTIATE_TEST_SUITE_P(
    Whatever, Command,
    ::testing::Values(Case<Script>{"Missing", std::nullopt}, Case<Script>{"Failing", "exit 3"},
                      Case<Script>{"KilledBySignal", "kill -KILL $$"},
                      Case<Script>{"ShellKilledBySignal", kill_the_shell},
                      Case<Script>{"WritingToStderr", "echo oops >&2; exit 1"}),
    case_name);

TEST(Command, MissingIsReportedByTheShellNotByTheProgram) {
    const Result result = run(hello(environment_with({"PATH=" + system_path})));

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_NE(result.err.find("pause"), std::string::npos) << result;
}

TEST(Interpreter, UnableToStartLeavesTheLineAndStatusZero) {
#ifndef __linux__
    SKIP_UNLESS_PLATFORM_HAS(false, "hiding /bin/sh needs a Linux mount namespace");
#endif
    // In a mount namespace of its own, /bin/sh is covered by /dev/null, which
    // cannot be executed: the shell cannot start, and only this program is hit.
    const Result probe = run({.argv = {"unshare", "-r", "-m", "true"}});
    REQUIRE_OR_SKIP(probe.exited_with(0), "no mount namespace here: " + probe.err);

    const Result result = run({.argv = {"unshare", "-r", "-m", "--", "/bin/sh", "-c",
                                        "mount --bind /dev/null /bin/sh && exec \"$0\"", HELLO},
                               .deadline = 5s});

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(result.out, greeting);
    EXPECT_EQ(result.err, "") << "a shell ran after all";
}

// ---- Failed writes: ignored, and the command still runs as a shell would run it --------

class FailedWrite : public ::testing::TestWithParam<Case<Output>> {};

TEST_P(FailedWrite, StillRunsTheCommandWithSignalsAsAShellLeavesThem) {
    SKIP_UNLESS_PLATFORM_HAS(GetParam().data != Output::dev_full ||
                                 std::filesystem::exists("/dev/full"),
                             "this system has no /dev/full");
    const FakePause pause(std::string("exec '") + SIGNAL_PROBE + "' > \"$MARK\"");
    Launch launch = hello(pause.env());
    launch.output = GetParam().data;

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(pause.marked(), "SIGPIPE default, blocked none\n");
}

INSTANTIATE_TEST_SUITE_P(ToAnOutput, FailedWrite,
                         ::testing::Values(Case<Output>{"BrokenPipe", Output::broken_pipe},
                                           Case<Output>{"DeviceFull", Output::dev_full},
                                           Case<Output>{"ClosedStdout", Output::closed},
                                           Case<Output>{"NoneOnAWorkingPipe", Output::pipe}),
                         case_name);

TEST(FailedWrite, CommandKeepsAnIgnoredSigpipeThatTheProgramWasGiven) {
    // Whoever started us chose to ignore SIGPIPE; the command inherits that choice.
    const FakePause pause(std::string("exec '") + SIGNAL_PROBE + "' > \"$MARK\"");
    Launch launch = hello(pause.env());
    launch.output = Output::broken_pipe;
    launch.ignore_sigpipe = true;

    const Result result = run(launch);

    EXPECT_TRUE(result.exited_with(0)) << result;
    EXPECT_EQ(pause.marked(), "SIGPIPE ignored, blocked none\n");
}

// ---- The files: hardened as release builds should be ---------------------------------

class Hardening : public ::testing::TestWithParam<Case<const char*>> {};

TEST_P(Hardening, PieWithFullRelroAndNoExecutableStack) {
#ifndef __ELF__
    SKIP_UNLESS_PLATFORM_HAS(false, "these are ELF properties, and this system does not use ELF");
#endif
    const Result elf = run({.argv = {"readelf", "-h", "-l", "-d", "-W", GetParam().data}});
    REQUIRE_OR_SKIP(elf.exit_code != 127, "readelf is not installed");
    ASSERT_TRUE(elf.exited_with(0)) << elf;

    std::istringstream lines(elf.out);
    std::string type, stack_flags;
    bool relro = false, bind_now = false;
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> word = words_of(line);
        if (word.size() >= 2 && word[0] == "Type:") {
            type = word[1];
        } else if (word.size() >= 8 && word[0] == "GNU_STACK") {
            stack_flags = word[6]; // after offset, addresses and sizes
        }
        relro = relro || (!word.empty() && word[0] == "GNU_RELRO");
        bind_now = bind_now || line.find("BIND_NOW") != std::string::npos;
    }
    EXPECT_EQ(type, "DYN") << "not position-independent";
    EXPECT_TRUE(relro && bind_now) << "relocations are not read-only once loaded";
    EXPECT_EQ(stack_flags, "RW") << "the stack is executable";
}

INSTANTIATE_TEST_SUITE_P(Built, Hardening,
                         ::testing::Values(Case<const char*>{"Hello", HELLO},
                                           Case<const char*>{"Pause", PAUSE}),
                         case_name);

} // namespace

// The program as a process: the bytes it writes, the command it hands to the
// shell, and its exit status, whatever the shell, the command or the output does.
#include "config.hpp"
#include "files.hpp"
#include "testing.hpp"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace proc;

namespace {

const std::string greeting = "Hello World!\n";

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
        return with_first_on_path(dir_.path().string());
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

using Args = std::vector<std::string>;

Launch hello(const Environment& env, Args args = {}) {
    args.insert(args.begin(), config::hello);
    return {.argv = args, .env = env, .deadline = 5s};
}

// ---- Its own part, however it is started: the line, and nothing taken or handed on ----------

struct HowStarted {
    Output output = Output::pipe;
    Args args = {};
    Input input = Input::dev_null;
    std::string left_for_the_command = ""; // of "y\nmore\n" given as input
};

class Program : public ::testing::TestWithParam<Case<HowStarted>> {};

TEST_P(Program, WritesTheLineAndHandsTheCommandNothingButTheTerminalsStreams) {
    const HowStarted& row = GetParam().data;
    const FakePause pause = FakePause::recording();
    Launch launch = hello(pause.env(), row.args);
    launch.output = row.output;
    launch.input = row.input;
    launch.input_bytes = "y\nmore\n";

    const Result result = run(launch);

    EXPECT_THAT(result, ExitedWith(0));
    EXPECT_EQ(result.out, greeting);
    EXPECT_EQ(result.err, "from pause\n") << "the command's stderr is not the program's";
    EXPECT_EQ(pause.marked(), "ran\n") << "the command did not run";
    EXPECT_EQ(pause.arguments(), "0\n") << "the command was given arguments";
    EXPECT_EQ(pause.input(), row.left_for_the_command) << "the program took some of the input";
}

std::vector<Case<HowStarted>> starts() {
    return {
        {"ToAPipe", {}},
        {"IntoAFile", {.output = Output::file}},
        {"WithAnEmptyArgument", {.args = {""}}},
        {"WithOptionLikeArguments", {.args = {"-h", "--help", "/?", "--", "-"}}},
        {"WithShellSyntaxAsArguments", {.args = {"; exit 3", "$(false)", "|", "&&", "`id`"}}},
        {"WithArgumentsNotInUtf8", {.args = {"\xff\xfe\x80", "caf\xe9"}}},
        {"WithAVeryLongArgument", {.args = {std::string(100'000, 'x')}}},
        {"WithHundredsOfArguments", {.args = Args(500, "arg")}},
        {"WithInputClosed", {.input = Input::closed, .left_for_the_command = "(closed)\n"}},
        {"WithLinesOfInput", {.input = Input::bytes, .left_for_the_command = "y\nmore\n"}},
    };
}

INSTANTIATE_TEST_SUITE_P(Started, Program, ::testing::ValuesIn(starts()), case_name);

class Stdout : public ::testing::TestWithParam<Case<Output>> {};

TEST_P(Stdout, GreetingLandsBeforeWhatTheCommandWrites) {
    // Through a pipe or into a file stdout is fully buffered: only a flush
    // before the command keeps the greeting first.
    const FakePause pause("echo 'Press any key'");
    Launch launch = hello(pause.env());
    launch.output = GetParam().data;

    const Result result = run(launch);

    EXPECT_THAT(result, ExitedWith(0));
    EXPECT_EQ(result.out, greeting + "Press any key\n");
}

INSTANTIATE_TEST_SUITE_P(To, Stdout,
                         ::testing::Values(Case<Output>{"Pipe", Output::pipe},
                                           Case<Output>{"File", Output::file}),
                         case_name);

TEST(Environment, EmptyChangesNothingOfItsOwn) {
    // With no PATH the shell looks only in its default places; whatever it
    // finds or misses there, the program's own part stays the same.
    Launch launch = hello(Environment{});
    launch.input = Input::dev_null;

    const Result result = run(launch);

    EXPECT_THAT(result, ExitedWith(0));
    EXPECT_EQ(result.out.substr(0, greeting.size()), greeting);
}

// ---- Whatever the command does, the status is 0 -------------------------------------

struct Fate {
    std::optional<std::string> script; // the fake pause's; none: no `pause` on PATH at all
    std::string err_holds = "";        // what its stderr must hold: the shell's or the command's
};

class Command : public ::testing::TestWithParam<Case<Fate>> {};

TEST_P(Command, LeavesTheLineAndStatusZeroWithoutWaiting) {
    const Fate& fate = GetParam().data;
    const FakePause pause(fate.script.value_or(""));
    const Environment env =
        fate.script ? pause.env() : environment_with({std::string("PATH=") + system_path});

    // Standard input is open but silent: a program that waited would time out.
    const Result result = run(hello(env));

    EXPECT_THAT(result, ExitedWith(0));
    EXPECT_EQ(result.out, greeting) << "the program said something of its own";
    EXPECT_NE(result.err.find(fate.err_holds), std::string::npos) << result;
}

// A shell's exit code n comes back from system() as n << 8, which is 0 again once
// cut to 8 bits: only a shell killed by a signal shows a program that returns
// system()'s result. The script kills the shell that runs it, or, where that
// shell ran it in its own place, itself.
const std::string kill_the_shell =
    "parent=$(cat /proc/$PPID/comm 2>/dev/null || ps -o comm= -p $PPID)\n"
    "case $parent in *hello*) kill -KILL $$ ;; *) kill -KILL $PPID ;; esac";

INSTANTIATE_TEST_SUITE_P(Whatever, Command,
                         ::testing::Values(
                             // The shell says so, not the program.
                             Case<Fate>{"Missing", {std::nullopt, "pause"}},
                             Case<Fate>{"Failing", {"exit 3"}},
                             Case<Fate>{"KilledBySignal", {"kill -KILL $$"}},
                             Case<Fate>{"ShellKilledBySignal", {kill_the_shell}},
                             Case<Fate>{"WritingToStderr", {"echo oops >&2; exit 1", "oops\n"}}),
                         case_name);

TEST(Interpreter, UnableToStartLeavesTheLineAndStatusZero) {
#ifndef __linux__
    SKIP_UNLESS_PLATFORM_HAS(false, "hiding /bin/sh needs a Linux mount namespace");
#endif
    // In a mount namespace of its own, /bin/sh is covered by /dev/null, which
    // cannot be executed: the shell cannot start, and only this program is hit.
    RUN_TOOL(probe, {.argv = {"unshare", "-r", "-m", "true"}});
    REQUIRE_OR_SKIP(probe.exited_with(0), "no mount namespace here: " + probe.err);

    const Result result =
        run({.argv = {"unshare", "-r", "-m", "--", "/bin/sh", "-c",
                      "mount --bind /dev/null /bin/sh && exec \"$0\"", config::hello},
             .deadline = 5s});

    EXPECT_THAT(result, ExitedWith(0));
    EXPECT_EQ(result.out, greeting);
    EXPECT_EQ(result.err, "") << "a shell ran after all";
}

// ---- Failed writes: ignored, and the command still runs as a shell would run it --------

struct Write {
    Output output;
    bool started_ignoring_sigpipe = false; // as some parents start their children
};

class FailedWrite : public ::testing::TestWithParam<Case<Write>> {};

TEST_P(FailedWrite, StillRunsTheCommandWithSignalsAsTheProgramWasGivenThem) {
    const Write& row = GetParam().data;
    SKIP_UNLESS_PLATFORM_HAS(row.output != Output::dev_full || std::filesystem::exists("/dev/full"),
                             "this system has no /dev/full");
    const FakePause pause(std::string("exec '") + config::signal_probe + "' > \"$MARK\"");
    Launch launch = hello(pause.env());
    launch.output = row.output;
    launch.ignore_sigpipe = row.started_ignoring_sigpipe;

    const Result result = run(launch);

    EXPECT_THAT(result, ExitedWith(0));
    // Whoever started us chose what SIGPIPE does; the command inherits that choice.
    EXPECT_EQ(pause.marked(), row.started_ignoring_sigpipe ? "SIGPIPE ignored, blocked none\n"
                                                           : "SIGPIPE default, blocked none\n");
}

INSTANTIATE_TEST_SUITE_P(ToAnOutput, FailedWrite,
                         ::testing::Values(Case<Write>{"BrokenPipe", {Output::broken_pipe}},
                                           Case<Write>{"DeviceFull", {Output::dev_full}},
                                           Case<Write>{"ClosedStdout", {Output::closed}},
                                           Case<Write>{"NoneOnAWorkingPipe", {Output::pipe}},
                                           Case<Write>{"BrokenPipeWithSigpipeIgnored",
                                                       {Output::broken_pipe, true}}),
                         case_name);

// ---- The files: hardened as release builds should be ---------------------------------

class Hardening : public ::testing::TestWithParam<Case<const char*>> {};

TEST_P(Hardening, PieWithFullRelroAndNoExecutableStack) {
#ifndef __ELF__
    SKIP_UNLESS_PLATFORM_HAS(false, "these are ELF properties, and this system does not use ELF");
#endif
    RUN_TOOL(elf, {.argv = {"readelf", "-h", "-l", "-d", "-W", GetParam().data}});
    ASSERT_THAT(elf, ExitedWith(0));

    std::string type, stack_flags;
    bool relro = false, bind_now = false;
    for (const auto& line : lines_of(elf.out)) {
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
                         ::testing::Values(Case<const char*>{"Hello", config::hello},
                                           Case<const char*>{"Pause", config::pause}),
                         case_name);

} // namespace

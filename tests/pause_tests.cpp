// The POSIX stand-in for the interpreter's "pause": alone, with and without a
// terminal, and behind the program on a terminal the way a user meets it.
#include "config.hpp"
#include "files.hpp"
#include "terminal.hpp"
#include "testing.hpp"

#include <csignal>
#include <filesystem>
#include <string>

using namespace proc;

namespace {

const std::string prompt = pause_prompt;

// ---- Without a terminal: one byte, end of file or an error ends the wait ------------

struct Feed {
    Input input;
    std::string bytes;
};

class PauseReading : public ::testing::TestWithParam<Case<Feed>> {};

TEST_P(PauseReading, PromptsThenEndsAtOnce) {
    const Result result = run({.argv = {config::pause},
                               .input = GetParam().data.input,
                               .input_bytes = GetParam().data.bytes,
                               .deadline = 5s});

    EXPECT_THAT(result, ExitedWith(0));
    EXPECT_EQ(result.out, prompt + "\n");
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(From, PauseReading,
                         ::testing::Values(Case<Feed>{"EndOfFile", {Input::dev_null, ""}},
                                           Case<Feed>{"ClosedInput", {Input::closed, ""}},
                                           Case<Feed>{"PipeWithOneByte", {Input::bytes, "x"}},
                                           Case<Feed>{"PipeWithALine", {Input::bytes, "yes\n"}}),
                         case_name);

TEST(PauseReading, TakesOneByteAndLeavesTheRestForTheNextReader) {
    const Result result = run({.argv = {"sh", "-c", "\"$0\"; cat", config::pause},
                               .input = Input::bytes,
                               .input_bytes = "abc\ndef\n",
                               .deadline = 5s});

    EXPECT_THAT(result, ExitedWith(0));
    EXPECT_EQ(result.out, prompt + "\nbc\ndef\n");
}

TEST(PauseReading, WaitsWhileInputIsOpenAndSilentWithThePromptShown) {
    const Result result = run({.argv = {config::pause}, .deadline = 1s});

    EXPECT_TRUE(result.timed_out) << result;
    EXPECT_EQ(result.out, prompt);
}

// Nobody reads the prompt: the write fails, and the wait is the same as ever.
struct Unread {
    Input input;
    bool waits; // still waiting at the deadline; else ended with status 0
};

class PauseWithItsReaderGone : public ::testing::TestWithParam<Case<Unread>> {};

TEST_P(PauseWithItsReaderGone, StillWaitsForItsByte) {
    const Result result = run({.argv = {config::pause},
                               .input = GetParam().data.input,
                               .input_bytes = "x",
                               .output = Output::broken_pipe,
                               .deadline = 1s});

    if (GetParam().data.waits) {
        EXPECT_TRUE(result.timed_out) << "ended without its byte: " << result;
    } else {
        EXPECT_THAT(result, ExitedWith(0));
    }
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(Reading, PauseWithItsReaderGone,
                         ::testing::Values(Case<Unread>{"SilentInput", {Input::silent_pipe, true}},
                                           Case<Unread>{"OneByte", {Input::bytes, false}}),
                         case_name);

// ---- On a terminal --------------------------------------------------------------------

struct KeyPress {
    std::string keys;
    std::string then_shown; // what the screen gains once the key is in
};

class HelloOnTerminal : public ::testing::TestWithParam<Case<KeyPress>> {};

TEST_P(HelloOnTerminal, GreetsWaitsForTheKeyAndLeavesTheTerminalAsItWas) {
    Terminal terminal({config::hello}, with_pause_from(config::pause));

    const std::string waiting = "Hello World!\r\n" + prompt;
    ASSERT_TRUE(terminal.wait_for(prompt, 5s));
    EXPECT_EQ(terminal.screen(), waiting);
    EXPECT_FALSE(echoes(terminal.settings())) << "a key typed now would show";
    ASSERT_FALSE(terminal.wait_exit(1s)) << "did not wait for a key";

    terminal.type(GetParam().data.keys);
    const auto result = terminal.wait_exit(5s);

    ASSERT_TRUE(result) << "still waiting after the key";
    EXPECT_THAT(*result, ExitedWith(0));
    EXPECT_EQ(result->out, waiting + GetParam().data.then_shown) << "the key was echoed";
    EXPECT_EQ(describe(terminal.settings()), describe(terminal.initial_settings()));
}

INSTANTIATE_TEST_SUITE_P(AfterKey, HelloOnTerminal,
                         ::testing::Values(Case<KeyPress>{"Letter", {"x", "\r\n"}},
                                           Case<KeyPress>{"Enter", {"\r", "\r\n"}},
                                           Case<KeyPress>{"Arrow", {"\x1b[A", "\r\n"}},
                                           Case<KeyPress>{"CtrlD", {"\x04", "\r\n"}},
                                           Case<KeyPress>{"CtrlC", {"\x03", "\r\n"}}),
                         case_name);

TEST(HelloOnTerminal, KeyOfSeveralBytesLeavesNoneOfThemForTheNextCommand) {
    // What a shell does next: read a line from the same terminal.
    Terminal terminal({"bash", "-c",
                       "\"$1\"; echo paused; IFS= read -r line; echo \"next [$line]\"", "bash",
                       config::hello},
                      with_pause_from(config::pause));
    ASSERT_TRUE(terminal.wait_for(prompt, 5s));

    terminal.type("\x1b[A"); // the up arrow
    ASSERT_TRUE(terminal.wait_for("paused\r\n", 5s));
    terminal.type("z\r");
    const auto result = terminal.wait_exit(5s);

    ASSERT_TRUE(result) << terminal.state();
    EXPECT_NE(result->out.find("next [z]"), std::string::npos)
        << "the rest of the key was left for the next command: " << *result;
}

// Typed at a terminal with the output sent elsewhere: the key still comes from
// the terminal, one key without Enter, and the reader of the output may be gone
// before the prompt is written.
struct Elsewhere {
    const char* command; // for bash, with the built pause first on PATH
    std::string shown;   // the screen once it has ended
};

class HelloWithOutputElsewhere : public ::testing::TestWithParam<Case<Elsewhere>> {};

TEST_P(HelloWithOutputElsewhere, StillWaitsForOneKeyOnTheTerminal) {
    const TempDir dir;
    Terminal terminal({"bash", "-c",
                       std::string(GetParam().data.command) + "; echo \"status ${PIPESTATUS[*]}\"",
                       "bash", config::hello, (dir.path() / "out").string()},
                      with_pause_from(config::pause));
    ASSERT_TRUE(terminal.await([&] { return !echoes(terminal.settings()); }, 5s))
        << "not waiting for one key";
    ASSERT_FALSE(terminal.wait_exit(1s)) << "ended without a key\n" << terminal.state();
    terminal.type("x");
    const auto result = terminal.wait_exit(5s);

    ASSERT_TRUE(result) << "still waiting after the key\n" << terminal.state();
    EXPECT_THAT(*result, ExitedWith(0));
    EXPECT_EQ(result->out, GetParam().data.shown);
    EXPECT_EQ(describe(terminal.settings()), describe(terminal.initial_settings()));
}

INSTANTIATE_TEST_SUITE_P(
    To, HelloWithOutputElsewhere,
    ::testing::Values(Case<Elsewhere>{"AFile", {"\"$1\" > \"$2\"", "status 0\r\n"}},
                      Case<Elsewhere>{
                          "APipe",
                          {"\"$1\" | cat", "Hello World!\r\n" + prompt + "\r\nstatus 0 0\r\n"}},
                      Case<Elsewhere>{"APipeWhoseReaderGoes",
                                      {"\"$1\" | head -n 1", "Hello World!\r\nstatus 0 0\r\n"}}),
    case_name);

// ---- The stand-in alone on a terminal: restored on every way out -------------------

// Ended by a signal, sent or typed: the terminal restored, the prompt's line
// ended, and the end the signal gives any program.
struct Ending {
    int signal_number;
    std::string keys = ""; // typed to send it; none: sent to the job, as kill does
};

class PauseOnTerminal : public ::testing::TestWithParam<Case<Ending>> {};

TEST_P(PauseOnTerminal, RestoresTheTerminalThenEndsAsTheSignalWould) {
    const Ending& row = GetParam().data;
    Terminal terminal({config::pause});
    ASSERT_TRUE(terminal.wait_for(prompt, 5s));
    ASSERT_FALSE(echoes(terminal.settings()));

    if (row.keys.empty()) {
        terminal.send_signal(row.signal_number);
    } else {
        terminal.type(row.keys);
    }
    const auto result = terminal.wait_exit(5s);

    ASSERT_TRUE(result) << "still waiting after the signal\n" << terminal.state();
    EXPECT_THAT(*result, KilledBy(row.signal_number));
    EXPECT_EQ(result->out, prompt + "\r\n") << "the prompt's line was left open";
    EXPECT_EQ(describe(terminal.settings()), describe(terminal.initial_settings()));
}

INSTANTIATE_TEST_SUITE_P(
    Signal, PauseOnTerminal,
    ::testing::Values(Case<Ending>{"Interrupt", {SIGINT}},
                      Case<Ending>{"InterruptTypedAsCtrlC", {SIGINT, "\x03"}},
                      Case<Ending>{"Terminate", {SIGTERM}}, Case<Ending>{"Hangup", {SIGHUP}},
                      Case<Ending>{"Quit", {SIGQUIT}},
                      Case<Ending>{"QuitTypedAsCtrlBackslash", {SIGQUIT, "\x1c"}}),
    case_name);

// The terminal's window is closed while it waits: the terminal hangs up, so
// that no key can come any more, and the shell passes the hangup on. Whichever
// pause notices first ends the wait: the failed read (status 0) or SIGHUP.
// Ignored, SIGHUP cannot end it, and the failed read still does.
struct Closing {
    const char* trap;   // what the shell that starts pause does with SIGHUP first
    bool by_sighup_too; // SIGHUP may end it, if it comes before the read fails
};

class PauseWhenTheTerminalCloses : public ::testing::TestWithParam<Case<Closing>> {};

TEST_P(PauseWhenTheTerminalCloses, EndsTheWait) {
    Terminal terminal(
        {"/bin/sh", "-c", std::string(GetParam().data.trap) + "; exec \"$0\"", config::pause});
    ASSERT_TRUE(terminal.wait_for(prompt, 5s));

    terminal.hang_up();
    const auto result = terminal.wait_exit(5s);

    ASSERT_TRUE(result) << "still waiting on a terminal that has gone";
    if (GetParam().data.by_sighup_too && result->signal) {
        EXPECT_THAT(*result, KilledBy(SIGHUP));
    } else {
        EXPECT_THAT(*result, ExitedWith(0));
    }
}

INSTANTIATE_TEST_SUITE_P(Hangup, PauseWhenTheTerminalCloses,
                         ::testing::Values(Case<Closing>{"Default", {"trap - HUP", true}},
                                           Case<Closing>{"Ignored", {"trap '' HUP", false}}),
                         case_name);

// A signal that whoever started it ignores stays ignored, as a shell ignores
// Ctrl-C for a job started with `&` where there is no job control.
struct Ignored {
    const char* trap; // the signal's name for the shell's trap
    std::string key;  // the key that would send it
};

class PauseWithIgnoredSignal : public ::testing::TestWithParam<Case<Ignored>> {};

TEST_P(PauseWithIgnoredSignal, KeyThatSendsItDoesNotEndOrStopTheWait) {
    Terminal terminal({"/bin/sh", "-c",
                       std::string("trap '' ") + GetParam().data.trap + "; exec \"$0\"",
                       config::pause});
    ASSERT_TRUE(terminal.wait_for(prompt, 5s));

    terminal.type(GetParam().data.key);

    EXPECT_FALSE(terminal.wait_stopped(500ms)) << "stopped after all";
    ASSERT_FALSE(terminal.wait_exit(0ms)) << "ended after all";
    terminal.type("x");
    const auto result = terminal.wait_exit(5s);
    ASSERT_TRUE(result) << "still waiting after the key";
    EXPECT_THAT(*result, ExitedWith(0));
    EXPECT_EQ(describe(terminal.settings()), describe(terminal.initial_settings()));
}

INSTANTIATE_TEST_SUITE_P(Of, PauseWithIgnoredSignal,
                         ::testing::Values(Case<Ignored>{"CtrlC", {"INT", "\x03"}},
                                           Case<Ignored>{"CtrlZ", {"TSTP", "\x1a"}},
                                           Case<Ignored>{"CtrlBackslash", {"QUIT", "\x1c"}}),
                         case_name);

} // namespace

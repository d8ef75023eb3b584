// Job control at the prompt: Ctrl-Z, fg, bg and a start in the background, the
// way an interactive shell drives a job, for the POSIX pause alone and behind
// the program. The stand-in shell leaves the terminal's settings alone, so each
// check of them sees what the program did.
#include "process.hpp"

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

using namespace proc;

namespace {

const std::string prompt = "Press any key to continue . . . ";

struct Job {
    std::vector<std::string> argv;
    std::optional<Environment> env;
    std::optional<int> ctrl_c_signal; // the signal that Ctrl-C ends it with; none: status 0
};

Environment with_pause_on_path() {
    const auto dir = std::filesystem::path(PAUSE).parent_path().string();
    return environment_with({"PATH=" + dir + ":/usr/bin:/bin"});
}

class JobControl : public ::testing::TestWithParam<Case<Job>> {
  protected:
    Terminal& start(Start how = Start::foreground) {
        terminal_.emplace(GetParam().data.argv, GetParam().data.env, how);
        return *terminal_;
    }

    // One key, unechoed, without waiting for Enter.
    bool one_key() const {
        return (terminal_->settings().c_lflag & (ICANON | ECHO)) == 0;
    }
    bool as_before() const {
        return describe(terminal_->settings()) == describe(terminal_->initial_settings());
    }
    // The prompt is shown this many times, the last one on a line of its own.
    bool prompted(size_t times) const {
        const std::string& screen = terminal_->screen();
        size_t count = 0;
        for (auto at = screen.find(prompt); at != std::string::npos;
             at = screen.find(prompt, at + 1)) {
            ++count;
        }
        const auto line_end = screen.find_last_of("\r\n");
        const auto last_line = line_end == std::string::npos ? screen : screen.substr(line_end + 1);
        return count == times && last_line == prompt;
    }
    std::string state() const {
        return "screen " + testing::PrintToString(terminal_->screen()) + "\nsettings " +
               describe(terminal_->settings()) + "\nbefore   " +
               describe(terminal_->initial_settings());
    }

    void wait_at_prompt(size_t times) {
        ASSERT_TRUE(terminal_->await([&] { return prompted(times) && one_key(); }, 10s))
            << "not waiting for one key at the prompt\n"
            << state();
    }

    // Ctrl-Z as the terminal sends it; the shell then takes the terminal, and
    // gives it back with fg.
    void stop_then_foreground(size_t prompts_after) {
        terminal_->type("\x1a");
        ASSERT_TRUE(terminal_->wait_stopped(5s)) << "Ctrl-Z did not stop it\n" << state();
        ASSERT_TRUE(terminal_->await([&] { return as_before(); }, 5s))
            << "stopped with the terminal still switched\n"
            << state();
        terminal_->take_terminal();
        terminal_->foreground();
        wait_at_prompt(prompts_after);
    }

    void key_ends_it_with_the_terminal_restored() {
        ASSERT_FALSE(terminal_->wait_exit(300ms)) << "ended without a key\n" << state();
        terminal_->type("x");
        const auto result = terminal_->wait_exit(5s);
        ASSERT_TRUE(result) << "still waiting after the key\n" << state();
        EXPECT_TRUE(result->exited_with(0)) << *result;
        EXPECT_TRUE(terminal_->await([&] { return as_before(); }, 5s)) << state();
    }

    std::optional<Terminal> terminal_;
};

TEST_P(JobControl, CtrlZGivesTheTerminalBackAndFgTakesItForOneKeyAgain) {
    start();
    wait_at_prompt(1);

    stop_then_foreground(2);

    key_ends_it_with_the_terminal_restored();
}

TEST_P(JobControl, StoppedAndContinuedTwiceStillEndsOnOneKey) {
    start();
    wait_at_prompt(1);

    stop_then_foreground(2);
    stop_then_foreground(3);

    key_ends_it_with_the_terminal_restored();
}

TEST_P(JobControl, ContinueWithoutAStopChangesNothing) {
    start();
    wait_at_prompt(1);

    terminal_->send_signal(SIGCONT);

    EXPECT_FALSE(terminal_->await([&] { return !prompted(1) || !one_key(); }, 500ms)) << state();
    key_ends_it_with_the_terminal_restored();
}

TEST_P(JobControl, CtrlCAfterAStopAndFgEndsItWithTheTerminalRestored) {
    start();
    wait_at_prompt(1);
    stop_then_foreground(2);

    terminal_->type("\x03");
    const auto result = terminal_->wait_exit(5s);

    ASSERT_TRUE(result) << "Ctrl-C no longer works after a stop\n" << state();
    if (GetParam().data.ctrl_c_signal) {
        EXPECT_EQ(result->signal, GetParam().data.ctrl_c_signal) << *result;
    } else {
        EXPECT_TRUE(result->exited_with(0)) << *result;
    }
    EXPECT_TRUE(terminal_->await([&] { return as_before(); }, 5s)) << state();
}

TEST_P(JobControl, StartedInTheBackgroundStopsBeforeTouchingTheTerminal) {
    start(Start::background);

    ASSERT_TRUE(terminal_->wait_stopped(5s)) << "not stopped in the background\n" << state();
    EXPECT_TRUE(as_before()) << state();
    EXPECT_EQ(terminal_->screen().find(prompt), std::string::npos) << state();

    terminal_->foreground();
    wait_at_prompt(1);
    key_ends_it_with_the_terminal_restored();
}

TEST_P(JobControl, KilledWhileStoppedInTheBackgroundEndsWithoutAPrompt) {
    start(Start::background);
    ASSERT_TRUE(terminal_->wait_stopped(5s)) << state();

    // What the shell's `kill %1` does: the signal, then a continue to deliver it.
    terminal_->send_signal(SIGTERM);
    terminal_->send_signal(SIGCONT);
    const auto result = terminal_->wait_exit(5s);

    ASSERT_TRUE(result) << "a stopped job could not be killed\n" << state();
    EXPECT_EQ(result->signal, SIGTERM) << *result;
    EXPECT_EQ(terminal_->screen().find(prompt), std::string::npos) << state();
    EXPECT_TRUE(as_before()) << state();
}

TEST_P(JobControl, ContinuedInTheBackgroundStopsAgainUntilFg) {
    start();
    wait_at_prompt(1);
    terminal_->type("\x1a");
    ASSERT_TRUE(terminal_->wait_stopped(5s)) << state();
    ASSERT_TRUE(terminal_->await([&] { return as_before(); }, 5s)) << state();
    terminal_->take_terminal();

    terminal_->continue_in_background();

    ASSERT_TRUE(terminal_->wait_stopped(5s)) << "runs in the background\n" << state();
    EXPECT_TRUE(as_before()) << "changed the terminal from the background\n" << state();
    terminal_->foreground();
    wait_at_prompt(2);
    key_ends_it_with_the_terminal_restored();
}

INSTANTIATE_TEST_SUITE_P(
    Of, JobControl,
    ::testing::Values(Case<Job>{"PauseAlone", {{PAUSE}, std::nullopt, SIGINT}},
                      Case<Job>{"HelloWithPause", {{HELLO}, with_pause_on_path(), std::nullopt}}),
    case_name);

} // namespace

// Job control at the prompt: Ctrl-Z, fg, bg and a start in the background, the
// way an interactive shell drives a job, for the POSIX pause alone and behind
// the program. The stand-in shell leaves the terminal's settings alone, so each
// check of them sees what the program did.
#include "config.hpp"
#include "terminal.hpp"
#include "testing.hpp"

#include <csignal>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

using namespace proc;

namespace {

const std::string prompt = pause_prompt;

struct Job {
    std::vector<std::string> argv;
    std::optional<Environment> env;
    std::optional<int> ctrl_c_signal; // the signal that Ctrl-C ends it with; none: status 0
};

// What each job-control case does with the job it is given.
class JobControlBase : public ::testing::Test {
  protected:
    Terminal& start(Start how = Start::foreground) {
        terminal_.emplace(job_->argv, job_->env, how);
        return *terminal_;
    }

    bool one_key() const {
        return proc::one_key(terminal_->settings());
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
        return terminal_->state();
    }

    void wait_at_prompt(size_t times) {
        ASSERT_TRUE(terminal_->await([&] { return prompted(times) && one_key(); }, 10s))
            << "not waiting for one key at the prompt";
    }

    // Ctrl-Z as the terminal sends it; the shell then takes the terminal, and
    // gives it back with fg.
    void stop_then_foreground(size_t prompts_after) {
        terminal_->type("\x1a");
        ASSERT_TRUE(terminal_->wait_stopped(5s)) << "Ctrl-Z did not stop it";
        ASSERT_TRUE(terminal_->await([&] { return as_before(); }, 5s))
            << "stopped with the terminal still switched";
        terminal_->take_terminal();
        terminal_->foreground();
        wait_at_prompt(prompts_after);
    }

    void key_ends_it_with_the_terminal_restored() {
        ASSERT_FALSE(terminal_->wait_exit(300ms)) << "ended without a key";
        terminal_->type("x");
        const auto result = terminal_->wait_exit(5s);
        ASSERT_TRUE(result) << "still waiting after the key";
        EXPECT_THAT(*result, ExitedWith(0));
        EXPECT_TRUE(terminal_->await([&] { return as_before(); }, 5s));
    }

    const Job* job_ = nullptr;
    std::optional<Terminal> terminal_;
};

class JobControl : public JobControlBase, public ::testing::WithParamInterface<Case<Job>> {
  protected:
    void SetUp() override {
        job_ = &GetParam().data;
    }
};

// Stopped and brought back once, or again and again: each time it gives the
// terminal back, and takes it for one key again.
class JobStops : public JobControlBase,
                 public ::testing::WithParamInterface<std::tuple<Case<Job>, size_t>> {
  protected:
    void SetUp() override {
        job_ = &std::get<0>(GetParam()).data;
    }
};

TEST_P(JobStops, CtrlZGivesTheTerminalBackAndFgTakesItForOneKeyAgain) {
    start();
    wait_at_prompt(1);

    for (size_t stop = 1; stop <= std::get<1>(GetParam()); ++stop) {
        stop_then_foreground(stop + 1);
    }

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

    ASSERT_TRUE(result) << "Ctrl-C no longer works after a stop";
    if (GetParam().data.ctrl_c_signal) {
        EXPECT_THAT(*result, KilledBy(GetParam().data.ctrl_c_signal));
    } else {
        EXPECT_THAT(*result, ExitedWith(0));
    }
    EXPECT_TRUE(terminal_->await([&] { return as_before(); }, 5s));
}

TEST_P(JobControl, StartedInTheBackgroundStopsBeforeTouchingTheTerminal) {
    start(Start::background);

    ASSERT_TRUE(terminal_->wait_stopped(5s)) << "not stopped in the background";
    EXPECT_TRUE(as_before()) << state();
    EXPECT_EQ(terminal_->screen().find(prompt), std::string::npos) << state();

    terminal_->foreground();
    wait_at_prompt(1);
    key_ends_it_with_the_terminal_restored();
}

TEST_P(JobControl, KilledWhileStoppedInTheBackgroundEndsWithoutAPrompt) {
    start(Start::background);
    ASSERT_TRUE(terminal_->wait_stopped(5s));

    // What the shell's `kill %1` does: the signal, then a continue to deliver it.
    terminal_->send_signal(SIGTERM);
    terminal_->send_signal(SIGCONT);
    const auto result = terminal_->wait_exit(5s);

    ASSERT_TRUE(result) << "a stopped job could not be killed";
    EXPECT_THAT(*result, KilledBy(SIGTERM));
    EXPECT_EQ(terminal_->screen().find(prompt), std::string::npos) << state();
    EXPECT_TRUE(as_before()) << state();
}

TEST_P(JobControl, ContinuedInTheBackgroundStopsAgainUntilFg) {
    start();
    wait_at_prompt(1);
    terminal_->type("\x1a");
    ASSERT_TRUE(terminal_->wait_stopped(5s));
    ASSERT_TRUE(terminal_->await([&] { return as_before(); }, 5s));
    terminal_->take_terminal();

    terminal_->continue_in_background();

    ASSERT_TRUE(terminal_->wait_stopped(5s)) << "runs in the background";
    EXPECT_TRUE(as_before()) << "changed the terminal from the background";
    terminal_->foreground();
    wait_at_prompt(2);
    key_ends_it_with_the_terminal_restored();
}

std::vector<Case<Job>> jobs() {
    return {{"PauseAlone", {{config::pause}, std::nullopt, SIGINT}},
            {"HelloWithPause", {{config::hello}, with_pause_from(config::pause), std::nullopt}}};
}

INSTANTIATE_TEST_SUITE_P(Of, JobControl, ::testing::ValuesIn(jobs()), case_name);

INSTANTIATE_TEST_SUITE_P(Of, JobStops,
                         ::testing::Combine(::testing::ValuesIn(jobs()),
                                            ::testing::Values(size_t{1}, size_t{2})),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == 1 ? "Once" : "Twice");
                         });

} // namespace

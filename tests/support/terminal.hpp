// Runs a program on a pseudo-terminal of its own, as an interactive shell runs
// it, and lets a test type, read the screen and the settings, and drive job
// control. Every wait has a deadline, and nothing that was started outlives
// the Terminal.
#pragma once

#include "process.hpp"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <vector>

namespace proc {

// How a job starts on its terminal.
enum class Start {
    foreground, // the terminal's foreground process group: keys and Ctrl-C reach it
    background, // as with `program &`: the terminal stays with the shell
};

// A program on a new pseudo-terminal, started the way an interactive shell
// starts a command: a session leader standing in for the shell holds the
// terminal, and the program runs as a job, in a process group of its own. The
// stand-in shell never changes the terminal's settings, so whatever the test
// sees of them is the program's doing. The screen is 80x24.
class Terminal {
  public:
    explicit Terminal(const std::vector<std::string>& argv,
                      const std::optional<Environment>& env = std::nullopt,
                      Start start = Start::foreground);
    ~Terminal(); // kills whatever is still running on it
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Reads the screen until it holds the text, or until the screen passes the
    // test; a failure, showing the screen, if the deadline came first.
    testing::AssertionResult wait_for(std::string_view text, std::chrono::milliseconds deadline);
    testing::AssertionResult wait_for(const std::function<bool(const std::string&)>& shown,
                                      std::chrono::milliseconds deadline);
    // Reads the screen until the condition holds; a failure, showing the
    // screen and the settings, if the deadline came first.
    testing::AssertionResult await(const std::function<bool()>& condition,
                                   std::chrono::milliseconds deadline);
    // Presses keys, as bytes sent from the terminal's keyboard; throws if the
    // terminal takes none for a second.
    void type(std::string_view keys);
    // Closes the terminal, as closing its window does: it hangs up, and the
    // stand-in shell, like a real one, passes the hangup on to its job. The
    // screen and the settings cannot be read after this.
    void hang_up();
    // Sends a signal to the job's process group, as the terminal's keys do.
    void send_signal(int signal_number) const;
    // Waits for the program's end: nullopt if it is still running at the deadline.
    std::optional<Result> wait_exit(std::chrono::milliseconds deadline);

    // Job control, as the shell does it. Each returns once the shell has done it.
    void take_terminal();          // the shell's own process group gets the terminal
    void foreground();             // fg: the job gets the terminal, then SIGCONT
    void continue_in_background(); // bg: SIGCONT, the terminal stays where it is
    // Waits until the job is stopped; a failure if it is not by the deadline.
    testing::AssertionResult wait_stopped(std::chrono::milliseconds deadline);

    // The terminal's settings now, as the program sees them, and as they were
    // before the program started.
    termios settings() const;
    const termios& initial_settings() const {
        return initial_;
    }
    const std::string& screen() const {
        return screen_;
    }
    // The screen and the settings, now and before, for a failure's message.
    std::string state() const;

  private:
    bool poll_until(const std::function<bool()>& condition, std::chrono::milliseconds deadline);
    void read_screen(std::chrono::milliseconds wait);
    void read_reports();
    void command(char what);

    // The stand-in shell and its job: both killed, and the shell reaped, when
    // this goes, also when the constructor throws halfway.
    struct Processes {
        pid_t leader = -1; // the stand-in shell
        pid_t job = -1;    // the program, leading the job's process group
        bool job_ended = false;
        Processes() = default;
        Processes(const Processes&) = delete;
        Processes& operator=(const Processes&) = delete;
        ~Processes();
    };

    Fd controller_; // our side of the terminal: the keyboard and the screen
    Fd device_;     // the program's side, kept open to read its settings
    Fd control_;    // commands to the stand-in shell
    Fd reports_;    // what it says of the job
    Processes processes_;
    bool stopped_ = false;
    int commands_done_ = 0;
    termios initial_{};
    std::string screen_;
    Result result_;
};

// A terminal's settings as text, for comparisons whose failures are readable.
std::string describe(const termios& settings);

// One key at a time, unechoed, without waiting for Enter: how pause waits.
inline bool one_key(const termios& settings) {
    return (settings.c_lflag & (ICANON | ECHO)) == 0;
}
inline bool echoes(const termios& settings) {
    return (settings.c_lflag & ECHO) != 0;
}

// The text a screen shows once the escape sequences that drew it are gone,
// with cursor-forward moves (how some programs draw a space) as spaces.
std::string visible(const std::string& screen);

} // namespace proc

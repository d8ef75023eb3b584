// Runs a program as a real process, on pipes, files or a pseudo-terminal, and
// reports what it wrote and how it ended. Every wait has a deadline, and nothing
// that was started outlives the call or the object that started it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <utility>
#include <vector>

namespace proc {

using namespace std::chrono_literals;
using Environment = std::vector<std::string>; // "NAME=value" entries

// A file descriptor of ours, closed when this goes. Made from a raw one, it
// moves above the standard three and is marked close-on-exec, so that only what
// a child is given on 0, 1 and 2 crosses into it.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int raw); // throws if raw is -1, as a failed open gives it
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    ~Fd() {
        reset();
    }
    int get() const {
        return fd_;
    }
    void reset();

  private:
    int fd_ = -1;
};

// Where the child's standard input comes from.
enum class Input {
    silent_pipe, // a pipe held open that never delivers a byte: a wait for input never ends
    bytes,       // a pipe fed Launch::input_bytes as the child reads, then end of file
    dev_null,    // end of file at once
    closed,      // descriptor 0 not open at all
};

// Where the child's standard output goes.
enum class Output {
    pipe,        // a pipe read until end of file
    file,        // a regular file, read back afterwards
    closed,      // descriptor 1 not open: every write fails with EBADF
    dev_full,    // /dev/full: every write fails with ENOSPC
    broken_pipe, // a pipe whose reader has gone: writes raise SIGPIPE or fail with EPIPE
};

struct Launch {
    std::vector<std::string> argv;  // argv[0] is a path, or a name looked up on this PATH
    std::optional<Environment> env; // unset: this process's own environment
    Input input = Input::silent_pipe;
    std::string input_bytes;
    Output output = Output::pipe;
    bool ignore_sigpipe = false; // start it with SIGPIPE ignored, as some parents do
    std::chrono::milliseconds deadline = 10s;
};

struct Result {
    std::optional<int> exit_code; // set when the process exited
    std::optional<int> signal;    // set when a signal ended it
    bool timed_out = false;       // still running at the deadline, so killed
    std::string out;              // standard output (a terminal's screen for Terminal)
    std::string err;              // standard error

    bool exited_with(int code) const {
        return !timed_out && exit_code == code;
    }
};

std::ostream& operator<<(std::ostream& os, const Result& result);

// Runs the program to its end or its deadline. Every child starts in a process
// group of its own, with every signal at its default and none blocked, the way
// a shell starts a command; the whole group is killed before this returns.
Result run(const Launch& launch);

// This process's environment with the given entries set or replaced.
Environment environment_with(const Environment& changes);

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
    // test; false if the deadline came first.
    bool wait_for(std::string_view text, std::chrono::milliseconds deadline);
    bool wait_for(const std::function<bool(const std::string&)>& shown,
                  std::chrono::milliseconds deadline);
    // Reads the screen until the condition holds; false if the deadline came first.
    bool await(const std::function<bool()>& condition, std::chrono::milliseconds deadline);
    // Presses keys, as bytes sent from the terminal's keyboard; throws if the
    // terminal takes none for a second.
    void type(std::string_view keys);
    // Closes the terminal, as closing its window does: it hangs up, and the
    // stand-in shell, like a real one, passes the hangup on to its job. The
    // screen and the settings cannot be read after this.
    void hang_up();
    // Sends a signal to the job's process group, as the terminal's keys do.
    void send_signal(int signal_number);
    // Waits for the program's end: nullopt if it is still running at the deadline.
    std::optional<Result> wait_exit(std::chrono::milliseconds deadline);

    // Job control, as the shell does it. Each returns once the shell has done it.
    void take_terminal();          // the shell's own process group gets the terminal
    void foreground();             // fg: the job gets the terminal, then SIGCONT
    void continue_in_background(); // bg: SIGCONT, the terminal stays where it is
    // Waits until the job is stopped; false if it is not by the deadline.
    bool wait_stopped(std::chrono::milliseconds deadline);

    // The terminal's settings now, as the program sees them, and as they were
    // before the program started.
    termios settings() const;
    const termios& initial_settings() const {
        return initial_;
    }
    const std::string& screen() const {
        return screen_;
    }

  private:
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

// A fresh directory, removed with everything in it when this goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const {
        return path_;
    }
    // Writes an executable shell script; body follows a "#!/bin/sh" line.
    std::filesystem::path write_script(const std::string& name, const std::string& body) const;

  private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& file);
// The line's words, as split at white space.
std::vector<std::string> words_of(const std::string& line);
bool in_ci();

// A row of a table of cases, shown by its name in test names and messages.
template <typename Data> struct Case {
    const char* name;
    Data data;
};
template <typename Data> void PrintTo(const Case<Data>& row, std::ostream* os) {
    *os << row.name;
}
inline constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };

} // namespace proc

// Something that this system should have, such as a tool: where it is missing
// the test is skipped with the reason, and under CI, where everything must run,
// the same thing is a failure.
#define REQUIRE_OR_SKIP(condition, reason)                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            if (::proc::in_ci()) {                                                                 \
                FAIL() << "missing, and required under CI: " << (reason);                          \
            }                                                                                      \
            GTEST_SKIP() << "missing: " << (reason);                                               \
        }                                                                                          \
    } while (false)

// A case that cannot apply on this platform at all, such as an ELF check where
// programs are not ELF: skipped with the reason, under CI too.
#define SKIP_UNLESS_PLATFORM_HAS(condition, reason)                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            GTEST_SKIP() << "not on this platform: " << (reason);                                  \
        }                                                                                          \
    } while (false)

// The Windows cross compilers, wine64 and the release tools are set up for the
// tests on Linux, where they are required like any tool; on other systems the
// Windows programs are not built or tested, and these cases do not apply.
#ifdef __linux__
#define REQUIRE_ON_LINUX_OR_SKIP(condition, reason) REQUIRE_OR_SKIP(condition, reason)
#else
#define REQUIRE_ON_LINUX_OR_SKIP(condition, reason)                                                \
    SKIP_UNLESS_PLATFORM_HAS(condition,                                                            \
                             std::string(reason) + " (the Windows builds are tested on Linux)")
#endif

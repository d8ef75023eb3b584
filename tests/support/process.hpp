// Runs a program as a real process, on pipes or files, and reports what it
// wrote and how it ended. Every wait has a deadline, and nothing that was
// started outlives the call that started it. Terminals: terminal.hpp.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <sys/types.h>
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

} // namespace proc

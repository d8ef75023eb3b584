// What the process and terminal helpers share, and no test needs: starting a
// child the way a shell starts a command, and waiting for it.
#pragma once

#include "process.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace proc::detail {

using Clock = std::chrono::steady_clock;

// Throws, naming the call that failed and errno's reason.
[[noreturn]] void fail(const std::string& what);

struct Pipe {
    Fd read, write;
};

Pipe make_pipe();
void set_nonblocking(int fd);

// What the child gets on its standard descriptors; -1 leaves the slot closed.
struct Stdio {
    int in = -1, out = -1, err = -1;
    int terminal = -1; // when set: a new session with this as its controlling terminal
    bool ignore_sigpipe = false;
};

// What a session leader tells the test about its job, over a pipe.
struct Report {
    enum Kind : int { started, stopped, continued, ended, done } kind;
    int value; // started: the job's pid; stopped: the signal; ended: the wait status
};

// Ways to reach the session leader that runs the program as a job.
struct Session {
    int control = -1; // commands from the test, a byte each
    int reports = -1; // Reports to the test
    bool foreground = true;
    int max_fd = 1024; // above any descriptor this process holds: its limit
};

// Forks and runs the program with the descriptors given, or, with a session,
// a stand-in shell on the terminal that runs it as a job. Everything the child
// needs is built before the fork.
pid_t spawn(const std::vector<std::string>& argv, const std::optional<Environment>& env,
            const Stdio& stdio, const std::optional<Session>& session = std::nullopt);

// The stand-in shell, run in a forked child (terminal.cpp).
[[noreturn]] void lead_session(const char* program, char* const* argv, char* const* envp,
                               const Session& session);

void record_status(Result& result, int status);
// Appends what is readable now; false once the other end is closed for good.
bool drain(int fd, std::string& into);
// Kills the child's process group, with anything it left running, then reaps it.
void finish(pid_t pid, Result& result);

} // namespace proc::detail

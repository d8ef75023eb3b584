#include "process.hpp"

#include "files.hpp"
#include "spawn.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

// Not every system's <unistd.h> declares it (macOS does not).
extern char** environ; // NOLINT(readability-redundant-declaration)

namespace proc {
namespace detail {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

Pipe make_pipe() {
    std::array<int, 2> ends{};
    if (pipe(ends.data()) != 0) {
        fail("pipe");
    }
    Fd read(ends[0]);
    return {std::move(read), Fd(ends[1])};
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

namespace {

// Moves a descriptor above the standard three and marks it close-on-exec, so
// that only what the child is given on 0, 1 and 2 crosses into it, and a
// descriptor of ours can never sit on a slot the child's setup overwrites.
int private_fd(int fd) {
    if (fd < 0) {
        fail("open");
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    if (moved < 0) {
        const int error = errno;
        close(fd);
        errno = error;
        fail("fcntl");
    }
    close(fd);
    return moved;
}

// A write to a child that has gone fails with EPIPE instead of killing the test.
const bool sigpipe_ignored = []() noexcept {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name; // execve fails, and the child reports 127 like a shell
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// True once the child has ended. It is left unreaped, so its process group
// cannot be taken over by a new process before finish() has killed it.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

} // namespace

pid_t spawn(const std::vector<std::string>& argv, const std::optional<Environment>& env,
            const Stdio& stdio, const std::optional<Session>& session) {
    // Everything the child needs is built before the fork: after it, the child
    // calls only async-signal-safe functions.
    std::vector<std::string> args = argv;
    std::vector<std::string> vars;
    if (env) {
        vars = *env;
    } else {
        for (char** entry = environ; *entry != nullptr; ++entry) {
            vars.emplace_back(*entry);
        }
    }
    const std::string program = find_program(argv.at(0));
    const std::vector<char*> arg_pointers = c_strings(args);
    const std::vector<char*> env_pointers = c_strings(vars);

    const pid_t pid = fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid > 0) {
        if (stdio.terminal < 0) {
            setpgid(pid, pid); // also in the parent, so a kill right away reaches the group
        }
        return pid;
    }

    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        sigaction(signal_number, &defaults, nullptr);
    }
    if (stdio.ignore_sigpipe) {
        signal(SIGPIPE, SIG_IGN);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (stdio.terminal >= 0) {
        setsid();
        ioctl(stdio.terminal, TIOCSCTTY, 0);
    } else {
        setpgid(0, 0);
    }
    const std::array<int, 3> sources = {stdio.in, stdio.out, stdio.err};
    for (int target = 0; target < 3; ++target) {
        if (sources[target] < 0) {
            close(target);
        } else {
            dup2(sources[target], target);
        }
    }
    if (session) {
        lead_session(program.c_str(), arg_pointers.data(), env_pointers.data(), *session);
    }
    execve(program.c_str(), arg_pointers.data(), env_pointers.data());
    _exit(127);
}

void record_status(Result& result, int status) {
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

// Appends what is readable now; false once the other end is closed for good.
bool drain(int fd, std::string& into) {
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            into.append(buffer.data(), static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // 0 is end of file; EIO is a terminal with no program left on it.
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
}

// Kills the child's process group, with anything it left running, then reaps it.
void finish(pid_t pid, Result& result) {
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    record_status(result, status);
}

} // namespace detail

using namespace detail;

Fd::Fd(int raw) : fd_(private_fd(raw)) {}

void Fd::reset() {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
}

std::ostream& operator<<(std::ostream& os, const Result& result) {
    os << "{";
    if (result.timed_out) {
        os << "timed out, ";
    }
    if (result.exit_code) {
        os << "exit " << *result.exit_code;
    } else if (result.signal) {
        os << "killed by signal " << *result.signal;
    }
    return os << ", out " << ::testing::PrintToString(result.out) << ", err "
              << ::testing::PrintToString(result.err) << "}";
}

namespace {

// What the child is given on 0 and 1, and our other ends of them.
struct Plumbing {
    Fd in, in_feed, out, out_reader;
};

Plumbing plumb(const Launch& launch, const std::filesystem::path& out_file) {
    Plumbing plumbing;
    switch (launch.input) {
    case Input::silent_pipe:
    case Input::bytes: {
        Pipe p = make_pipe();
        plumbing.in = std::move(p.read);
        plumbing.in_feed = std::move(p.write); // silent: held open until the run is over
        break;
    }
    case Input::dev_null:
        plumbing.in = Fd(open("/dev/null", O_RDONLY));
        break;
    case Input::closed:
        break;
    }
    switch (launch.output) {
    case Output::pipe: {
        Pipe p = make_pipe();
        plumbing.out = std::move(p.write);
        plumbing.out_reader = std::move(p.read);
        break;
    }
    case Output::file:
        plumbing.out = Fd(open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        break;
    case Output::closed:
        break;
    case Output::dev_full:
        plumbing.out = Fd(open("/dev/full", O_WRONLY));
        break;
    case Output::broken_pipe: {
        Pipe p = make_pipe();
        plumbing.out = std::move(p.write); // its reader is closed as p goes out of scope
        break;
    }
    }
    return plumbing;
}

// Feeds the input as the child takes it, so that more than a pipe holds cannot
// block us past the deadline; then its end of file.
class Feeder {
  public:
    Feeder(Fd& to, std::string_view bytes) : to_(to), unfed_(bytes) {
        set_nonblocking(to_.get());
    }
    bool feeding() const {
        return to_.get() >= 0;
    }
    void feed() {
        while (!unfed_.empty()) {
            const ssize_t n = write(to_.get(), unfed_.data(), unfed_.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                return;
            }
            unfed_ = n > 0 ? unfed_.substr(static_cast<size_t>(n)) : std::string_view();
        }
        to_.reset(); // all of it, or the child has gone: end of file
    }

  private:
    Fd& to_;
    std::string_view unfed_;
};

// Reads what each reader has, into the output or the error; drops a reader at its end.
void drain_readers(std::vector<int>& open_readers, int out_reader, Result& result) {
    for (auto it = open_readers.begin(); it != open_readers.end();) {
        std::string& into = *it == out_reader ? result.out : result.err;
        it = drain(*it, into) ? it + 1 : open_readers.erase(it);
    }
}

} // namespace

Result run(const Launch& launch) {
    const std::optional<TempDir> scratch =
        launch.output == Output::file ? std::make_optional<TempDir>() : std::nullopt;
    const auto out_file = scratch ? scratch->path() / "stdout" : std::filesystem::path();
    Plumbing plumbing = plumb(launch, out_file);
    Pipe err = make_pipe();
    Fd err_reader = std::move(err.read);

    Result result;
    const pid_t pid = spawn(launch.argv, launch.env,
                            {.in = plumbing.in.get(),
                             .out = plumbing.out.get(),
                             .err = err.write.get(),
                             .ignore_sigpipe = launch.ignore_sigpipe});
    // Only the child holds the write ends now, so end of file means it is done with them.
    plumbing.in.reset();
    plumbing.out.reset();
    err.write.reset();

    std::vector<int> open_readers;
    for (const Fd* reader : {&plumbing.out_reader, &err_reader}) {
        if (reader->get() >= 0) {
            set_nonblocking(reader->get());
            open_readers.push_back(reader->get());
        }
    }
    std::optional<Feeder> feeder;
    if (launch.input == Input::bytes) {
        feeder.emplace(plumbing.in_feed, launch.input_bytes);
        feeder->feed();
    }

    const auto deadline = Clock::now() + launch.deadline;
    bool exited = false;
    while (!(exited && open_readers.empty())) {
        if (Clock::now() >= deadline) {
            result.timed_out = !exited; // else something it started still holds its output
            break;
        }
        std::vector<pollfd> fds;
        fds.reserve(open_readers.size() + 1);
        for (const int fd : open_readers) {
            fds.push_back({fd, POLLIN, 0});
        }
        const bool feeding = feeder && feeder->feeding();
        if (feeding) {
            fds.push_back({plumbing.in_feed.get(), POLLOUT, 0});
        }
        poll(fds.data(), fds.size(), 10); // short slices: the child's exit is polled too
        if (feeding) {
            feeder->feed();
        }
        drain_readers(open_readers, plumbing.out_reader.get(), result);
        exited = exited || has_ended(pid);
    }
    finish(pid, result);
    if (launch.output == Output::file) {
        result.out = read_file(out_file);
    }
    return result;
}

Environment environment_with(const Environment& changes) {
    Environment result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view var(*entry);
        const auto name = var.substr(0, var.find('=') + 1);
        bool replaced = false;
        for (const auto& change : changes) {
            replaced = replaced || change.rfind(name, 0) == 0;
        }
        if (!replaced) {
            result.emplace_back(var);
        }
    }
    result.insert(result.end(), changes.begin(), changes.end());
    return result;
}

} // namespace proc

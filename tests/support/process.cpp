#include "process.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace proc {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

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
const bool sigpipe_ignored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

struct Pipe {
    Fd read, write;
};

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

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name; // execve fails, and the child reports 127 like a shell
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

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
    int max_fd = 1024; // above any descriptor this process holds
};

void report(int fd, Report::Kind kind, int value) {
    const Report r{kind, value};
    [[maybe_unused]] const ssize_t ignored = write(fd, &r, sizeof r);
}

// Runs in the forked child, as the leader of the terminal's session: what an
// interactive shell does for one job, and no more. It starts the program in a
// process group of its own, hands it the terminal or not, reports each change
// of its state, and obeys the test's commands. It never touches the terminal's
// settings, so that what the test sees of them is the program's doing alone.
// Only async-signal-safe calls: this is a fork of a possibly threaded process.
volatile pid_t hangup_to = 0; // the job that a hangup of the terminal is passed on to

void pass_hangup_on(int) {
    if (hangup_to > 0) {
        kill(-hangup_to, SIGHUP);
        kill(-hangup_to, SIGCONT); // a stopped job gets it too
    }
}

[[noreturn]] void lead_session(const char* program, char* const* argv, char* const* envp,
                               const Session& session) {
    // A shell is not stopped by the terminal's job-control signals, and when
    // the terminal hangs up it passes that on to its job and lives on.
    for (const int signal_number : {SIGTTOU, SIGTTIN, SIGTSTP}) {
        signal(signal_number, SIG_IGN);
    }
    signal(SIGHUP, pass_hangup_on);
    // A fork that never calls exec keeps every descriptor of the test's: close
    // them, or our copy of the terminal's other side would keep it from ever
    // hanging up.
    for (int fd = 3; fd < session.max_fd; ++fd) {
        if (fd != session.control && fd != session.reports) {
            close(fd);
        }
    }
    const pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        if (session.foreground) {
            tcsetpgrp(STDIN_FILENO, getpid()); // here and in the leader: whichever runs first
        }
        for (const int signal_number : {SIGTTOU, SIGTTIN, SIGTSTP, SIGHUP}) {
            signal(signal_number, SIG_DFL);
        }
        execve(program, argv, envp);
        _exit(127);
    }
    setpgid(job, job);
    hangup_to = job;
    if (session.foreground) {
        tcsetpgrp(STDIN_FILENO, job);
    }
    report(session.reports, Report::started, job);
    for (;;) {
        int status = 0;
        if (waitpid(job, &status, WNOHANG | WUNTRACED | WCONTINUED) == job) {
            if (WIFSTOPPED(status)) {
                report(session.reports, Report::stopped, WSTOPSIG(status));
            } else if (WIFCONTINUED(status)) {
                report(session.reports, Report::continued, 0);
            } else {
                report(session.reports, Report::ended, status);
                _exit(0);
            }
        }
        pollfd command_ready{session.control, POLLIN, 0};
        if (poll(&command_ready, 1, 5) <= 0) {
            continue;
        }
        char command = 0;
        if (read(session.control, &command, 1) != 1) { // the test is done with us
            kill(-job, SIGKILL);
            _exit(0);
        }
        if (command == 't') { // take the terminal back, as at a stop
            tcsetpgrp(STDIN_FILENO, getpgrp());
        } else if (command == 'f') { // fg: the terminal first, then continue
            tcsetpgrp(STDIN_FILENO, job);
            kill(-job, SIGCONT);
        } else if (command == 'b') { // bg: continue without the terminal
            kill(-job, SIGCONT);
        }
        report(session.reports, Report::done, command);
    }
}

pid_t spawn(const std::vector<std::string>& argv, const std::optional<Environment>& env,
            const Stdio& stdio, const std::optional<Session>& session = std::nullopt) {
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

// True once the child has ended. It is left unreaped, so its process group
// cannot be taken over by a new process before finish() has killed it.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Kills the child's process group, with anything it left running, then reaps it.
void finish(pid_t pid, Result& result) {
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    record_status(result, status);
}

} // namespace

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

Result run(const Launch& launch) {
    const std::optional<TempDir> scratch =
        launch.output == Output::file ? std::make_optional<TempDir>() : std::nullopt;
    Fd in, in_feed, out, out_reader, err_reader;
    Pipe err = make_pipe();
    err_reader = std::move(err.read);

    switch (launch.input) {
    case Input::silent_pipe:
    case Input::bytes: {
        Pipe p = make_pipe();
        in = std::move(p.read);
        in_feed = std::move(p.write); // silent: held open until the run is over
        break;
    }
    case Input::dev_null:
        in = Fd(open("/dev/null", O_RDONLY));
        break;
    case Input::closed:
        break;
    }

    const auto out_file = scratch ? scratch->path() / "stdout" : std::filesystem::path();
    switch (launch.output) {
    case Output::pipe: {
        Pipe p = make_pipe();
        out = std::move(p.write);
        out_reader = std::move(p.read);
        break;
    }
    case Output::file:
        out = Fd(open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        break;
    case Output::closed:
        break;
    case Output::dev_full:
        out = Fd(open("/dev/full", O_WRONLY));
        break;
    case Output::broken_pipe: {
        Pipe p = make_pipe();
        out = std::move(p.write); // its reader is closed as p goes out of scope
        break;
    }
    }

    Result result;
    const pid_t pid = spawn(launch.argv, launch.env,
                            {.in = in.get(),
                             .out = out.get(),
                             .err = err.write.get(),
                             .ignore_sigpipe = launch.ignore_sigpipe});
    // Only the child holds the write ends now, so end of file means it is done with them.
    in.reset();
    out.reset();
    err.write.reset();

    std::vector<int> open_readers;
    for (const Fd* reader : {&out_reader, &err_reader}) {
        if (reader->get() >= 0) {
            set_nonblocking(reader->get());
            open_readers.push_back(reader->get());
        }
    }
    // The input is fed as the child takes it, so that more than a pipe holds
    // cannot block us past the deadline; then its end of file.
    std::string_view unfed;
    if (launch.input == Input::bytes) {
        unfed = launch.input_bytes;
        set_nonblocking(in_feed.get());
    }
    const auto feed = [&] {
        while (!unfed.empty()) {
            const ssize_t n = write(in_feed.get(), unfed.data(), unfed.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                return;
            }
            unfed = n > 0 ? unfed.substr(static_cast<size_t>(n)) : std::string_view();
        }
        in_feed.reset(); // all of it, or the child has gone: end of file
    };
    if (launch.input == Input::bytes) {
        feed();
    }

    const auto deadline = Clock::now() + launch.deadline;
    bool exited = false;
    while (!(exited && open_readers.empty())) {
        if (Clock::now() >= deadline) {
            result.timed_out = !exited; // else something it started still holds its output
            break;
        }
        std::vector<pollfd> fds;
        for (const int fd : open_readers) {
            fds.push_back({fd, POLLIN, 0});
        }
        const bool feeding = launch.input == Input::bytes && in_feed.get() >= 0;
        if (feeding) {
            fds.push_back({in_feed.get(), POLLOUT, 0});
        }
        poll(fds.data(), fds.size(), 10); // short slices: the child's exit is polled too
        if (feeding) {
            feed();
        }
        for (auto it = open_readers.begin(); it != open_readers.end();) {
            std::string& into = *it == out_reader.get() ? result.out : result.err;
            it = drain(*it, into) ? it + 1 : open_readers.erase(it);
        }
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

Terminal::Terminal(const std::vector<std::string>& argv, const std::optional<Environment>& env,
                   Start start) {
    controller_ = Fd(posix_openpt(O_RDWR | O_NOCTTY));
    if (grantpt(controller_.get()) != 0 || unlockpt(controller_.get()) != 0) {
        fail("grantpt");
    }
    device_ = Fd(open(ptsname(controller_.get()), O_RDWR | O_NOCTTY));
    const winsize size{.ws_row = 24, .ws_col = 80, .ws_xpixel = 0, .ws_ypixel = 0};
    ioctl(device_.get(), TIOCSWINSZ, &size);
    set_nonblocking(controller_.get());
    initial_ = settings();

    Pipe control = make_pipe(), reports = make_pipe();
    processes_.leader = spawn(argv, env,
                              {.in = device_.get(),
                               .out = device_.get(),
                               .err = device_.get(),
                               .terminal = device_.get()},
                              Session{.control = control.read.get(),
                                      .reports = reports.write.get(),
                                      .foreground = start == Start::foreground});
    control_ = std::move(control.write);
    reports_ = std::move(reports.read);
    set_nonblocking(reports_.get());
    if (!await([this] { return processes_.job > 0 || processes_.job_ended; }, 5s) ||
        processes_.job <= 0) {
        throw std::runtime_error("the program did not start on its terminal");
    }
}

// The members do it all: the job is killed, then the stand-in shell, then the
// descriptors are closed.
Terminal::~Terminal() = default;

Terminal::Processes::~Processes() {
    if (!job_ended && job > 0) {
        kill(-job, SIGKILL); // unreaped by the stand-in shell, so its group is still its own
    }
    if (leader > 0) {
        Result ignored;
        finish(leader, ignored);
    }
}

void Terminal::read_screen(std::chrono::milliseconds wait) {
    // The screen, or once the terminal has hung up only the reports.
    pollfd fd{controller_.get() >= 0 ? controller_.get() : reports_.get(), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(wait.count()));
    if (controller_.get() >= 0) {
        drain(controller_.get(), screen_);
    }
    read_reports();
}

void Terminal::read_reports() {
    Report r{};
    while (read(reports_.get(), &r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
        switch (r.kind) {
        case Report::started:
            processes_.job = r.value;
            break;
        case Report::stopped:
            stopped_ = true;
            break;
        case Report::continued:
            stopped_ = false;
            break;
        case Report::ended:
            processes_.job_ended = true;
            record_status(result_, r.value);
            break;
        case Report::done:
            ++commands_done_;
            if (r.value == 'f' || r.value == 'b') {
                stopped_ = false; // continued: only a stop reported after this counts
            }
            break;
        }
    }
}

bool Terminal::await(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (read_screen(0ms); !condition(); read_screen(10ms)) {
        if (Clock::now() >= until) {
            return false;
        }
    }
    return true;
}

bool Terminal::wait_for(std::string_view text, std::chrono::milliseconds deadline) {
    return wait_for(
        [text](const std::string& screen) { return screen.find(text) != std::string::npos; },
        deadline);
}

bool Terminal::wait_for(const std::function<bool(const std::string&)>& shown,
                        std::chrono::milliseconds deadline) {
    return await([&] { return shown(screen_); }, deadline);
}

void Terminal::type(std::string_view keys) {
    while (!keys.empty()) {
        pollfd fd{controller_.get(), POLLOUT, 0};
        if (poll(&fd, 1, 1000) == 0) {
            throw std::runtime_error("the terminal took no key for a second");
        }
        const ssize_t n = write(controller_.get(), keys.data(), keys.size());
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            fail("write to terminal");
        }
        keys.remove_prefix(n > 0 ? static_cast<size_t>(n) : 0);
    }
}

void Terminal::hang_up() {
    controller_.reset();
}

void Terminal::send_signal(int signal_number) {
    kill(-processes_.job, signal_number);
}

void Terminal::command(char what) {
    const int before = commands_done_;
    if (write(control_.get(), &what, 1) != 1) {
        fail("write to the session leader");
    }
    if (!await([&] { return commands_done_ > before || processes_.job_ended; }, 5s)) {
        throw std::runtime_error("the session leader did not answer");
    }
}

void Terminal::take_terminal() {
    command('t');
}

void Terminal::foreground() {
    command('f');
}

void Terminal::continue_in_background() {
    command('b');
}

bool Terminal::wait_stopped(std::chrono::milliseconds deadline) {
    return await([this] { return stopped_ || processes_.job_ended; }, deadline) && stopped_;
}

std::optional<Result> Terminal::wait_exit(std::chrono::milliseconds deadline) {
    if (!await([this] { return processes_.job_ended; }, deadline)) {
        return std::nullopt;
    }
    result_.out = screen_;
    return result_;
}

termios Terminal::settings() const {
    termios settings{};
    tcgetattr(device_.get(), &settings);
    return settings;
}

std::string describe(const termios& settings) {
    std::ostringstream text;
    text << std::hex << "iflag " << settings.c_iflag << " oflag " << settings.c_oflag << " cflag "
         << settings.c_cflag << " lflag " << settings.c_lflag << " cc";
    for (const cc_t c : settings.c_cc) {
        text << ' ' << static_cast<unsigned>(c);
    }
    return text.str();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hello-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write_script(const std::string& name,
                                            const std::string& body) const {
    const auto file = path_ / name;
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    return file;
}

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> words_of(const std::string& line) {
    std::istringstream words(line);
    return {std::istream_iterator<std::string>(words), {}};
}

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0' && std::string_view(ci) != "false" &&
           std::string_view(ci) != "0";
}

} // namespace proc

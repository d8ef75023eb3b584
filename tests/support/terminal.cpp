#include "terminal.hpp"

#include "spawn.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace proc {
namespace detail {
namespace {

void report(int fd, Report::Kind kind, int value) {
    const Report r{kind, value};
    [[maybe_unused]] const ssize_t ignored = write(fd, &r, sizeof r);
}

volatile pid_t hangup_to = 0; // the job that a hangup of the terminal is passed on to
volatile std::sig_atomic_t job_stopped = 0;

// As a shell does: SIGHUP, and SIGCONT only to a job that is stopped, so that
// it can act on it. A running job is left alone: a SIGCONT would undo any stop
// it is in the middle of, such as a sanitizer's leak check at its exit.
void pass_hangup_on(int /*signal_number*/) {
    if (hangup_to > 0) {
        kill(-hangup_to, SIGHUP);
        if (job_stopped != 0) {
            kill(-hangup_to, SIGCONT);
        }
    }
}

// In the job's process, forked by the session's leader: a process group of its
// own, in the foreground if it starts there, and the program.
[[noreturn]] void become_job(const char* program, char* const* argv, char* const* envp,
                             const Session& session) {
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

} // namespace

// Runs in the forked child, as the leader of the terminal's session: what an
// interactive shell does for one job, and no more. It starts the program in a
// process group of its own, hands it the terminal or not, reports each change
// of its state, and obeys the test's commands. It never touches the terminal's
// settings, so that what the test sees of them is the program's doing alone.
// Only async-signal-safe calls: this is a fork of a possibly threaded process.
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
        become_job(program, argv, envp, session);
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
                job_stopped = 1;
                report(session.reports, Report::stopped, WSTOPSIG(status));
            } else if (WIFCONTINUED(status)) {
                job_stopped = 0;
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

} // namespace detail

using namespace detail;

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

    Pipe control = make_pipe();
    Pipe reports = make_pipe();
    processes_.leader =
        spawn(argv, env,
              {.in = device_.get(),
               .out = device_.get(),
               .err = device_.get(),
               .terminal = device_.get()},
              Session{.control = control.read.get(),
                      .reports = reports.write.get(),
                      .foreground = start == Start::foreground,
                      .max_fd = static_cast<int>(std::min(sysconf(_SC_OPEN_MAX), 65536L))});
    control_ = std::move(control.write);
    reports_ = std::move(reports.read);
    set_nonblocking(reports_.get());
    if (!poll_until([this] { return processes_.job > 0 || processes_.job_ended; }, 5s) ||
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

bool Terminal::poll_until(const std::function<bool()>& condition,
                          std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    for (read_screen(0ms); !condition(); read_screen(10ms)) {
        if (Clock::now() >= until) {
            return false;
        }
    }
    return true;
}

testing::AssertionResult Terminal::await(const std::function<bool()>& condition,
                                         std::chrono::milliseconds deadline) {
    if (poll_until(condition, deadline)) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "not so within " << deadline.count() << " ms\n"
                                       << state();
}

testing::AssertionResult Terminal::wait_for(std::string_view text,
                                            std::chrono::milliseconds deadline) {
    if (poll_until([&] { return screen_.find(text) != std::string::npos; }, deadline)) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << testing::PrintToString(std::string(text))
                                       << " not shown within " << deadline.count() << " ms\n"
                                       << state();
}

testing::AssertionResult Terminal::wait_for(const std::function<bool(const std::string&)>& shown,
                                            std::chrono::milliseconds deadline) {
    if (poll_until([&] { return shown(screen_); }, deadline)) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "not shown within " << deadline.count() << " ms\n"
                                       << state();
}

std::string Terminal::state() const {
    return "screen   " + testing::PrintToString(screen_) + "\nsettings " + describe(settings()) +
           "\nbefore   " + describe(initial_);
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

void Terminal::send_signal(int signal_number) const {
    kill(-processes_.job, signal_number);
}

void Terminal::command(char what) {
    const int before = commands_done_;
    if (write(control_.get(), &what, 1) != 1) {
        fail("write to the session leader");
    }
    if (!poll_until([&] { return commands_done_ > before || processes_.job_ended; }, 5s)) {
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

testing::AssertionResult Terminal::wait_stopped(std::chrono::milliseconds deadline) {
    if (poll_until([this] { return stopped_ || processes_.job_ended; }, deadline) && stopped_) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << (processes_.job_ended ? "ended" : "still running") << " rather than stopped\n"
           << state();
}

std::optional<Result> Terminal::wait_exit(std::chrono::milliseconds deadline) {
    if (!poll_until([this] { return processes_.job_ended; }, deadline)) {
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

std::string visible(const std::string& screen) {
    std::string text;
    for (size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] != '\x1b' || i + 1 == screen.size()) {
            text += screen[i];
        } else if (screen[i + 1] == '[') { // CSI: parameters, then one final byte
            size_t end = i + 2;
            while (end < screen.size() && (screen[end] < '@' || screen[end] > '~')) {
                ++end;
            }
            if (end < screen.size() && screen[end] == 'C') {
                const std::string count = screen.substr(i + 2, end - i - 2);
                text.append(count.empty() ? 1 : std::stoul(count), ' ');
            }
            i = end;
        } else if (screen[i + 1] == ']') { // OSC: up to BEL
            i = std::min(screen.find('\x07', i), screen.size());
        } else {
            ++i; // a two-byte escape
        }
    }
    return text;
}

} // namespace proc

// Stand-in for the Windows interpreter's "pause": prompt, wait for one key, go on.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char prompt[] = "Press any key to continue . . . ";

// The handler only notes what came; the main loop acts on it. The handled
// signals are blocked everywhere but inside the wait, so none is lost between a
// check and the wait, and none lands in the middle of a terminal switch.
volatile std::sig_atomic_t ending_signal = 0;
volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t continued = 0;

void note(int signal_number) {
    if (signal_number == SIGTSTP) {
        stop_requested = 1;
    } else if (signal_number == SIGCONT) {
        continued = 1;
    } else {
        ending_signal = signal_number;
    }
}

constexpr int handled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};

sigset_t handled_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : handled) {
        sigaddset(&set, signal_number);
    }
    return set;
}

void write_text(const char* text, size_t size) {
    while (size > 0) {
        const ssize_t n = write(STDOUT_FILENO, text, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // nowhere to show it: the wait goes on regardless
        }
        text += n;
        size -= static_cast<size_t>(n);
    }
}

bool line_open = false; // the prompt is on screen and its line not yet ended

void show_prompt() {
    write_text(prompt, sizeof prompt - 1);
    line_open = true;
}

// After a stop: from the start of the line, over an old prompt if it is still
// there, so that the prompt stands on its own line.
void show_prompt_again() {
    write_text("\r", 1);
    show_prompt();
}

// Leaves the cursor at the start of a line, for whatever the shell writes next.
void end_line() {
    if (line_open) {
        write_text("\n", 1);
        line_open = false;
    }
}

// The terminal as we found it, and whether it is in our one-key mode now.
termios saved;
bool holding = false;

bool is_one_key(const termios& settings) {
    return (settings.c_lflag & (ICANON | ECHO)) == 0;
}

// Switches the terminal to one key, unechoed, without waiting for Enter; Ctrl-C
// and Ctrl-Z keep working. Called with the handled signals blocked; false if a
// signal came meanwhile that ends the wait.
bool take_terminal(const sigset_t& wait_mask) {
    // A background job may not touch the terminal: here the kernel stops it
    // (SIGTTOU) until it is brought to the foreground. Signals are open so that
    // a stopped job can still be killed.
    sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
    while (tcdrain(STDIN_FILENO) < 0 && errno == EINTR && ending_signal == 0) {
    }
    const sigset_t blocked = handled_set();
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    if (ending_signal != 0) {
        return false;
    }
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios one_key = saved;
        one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        one_key.c_cc[VMIN] = 1;
        one_key.c_cc[VTIME] = 0;
        holding = tcsetattr(STDIN_FILENO, TCSANOW, &one_key) == 0;
    }
    return true;
}

void give_back_terminal() {
    if (!holding) {
        return;
    }
    holding = false;
    // A shell that has already taken the terminal back has put back its own
    // settings: leave them alone. SIGTTOU is held so that a shell taking it
    // at this very moment cannot stop us halfway through.
    if (tcgetpgrp(STDIN_FILENO) == getpgrp()) {
        sigset_t ttou;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        sigprocmask(SIG_BLOCK, &ttou, nullptr);
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
    }
}

// Ends or stops the way this signal would have, had we not caught it.
void act_as_default(int signal_number) {
    struct sigaction by_default {};
    struct sigaction ours {};
    by_default.sa_handler = SIG_DFL;
    sigaction(signal_number, &by_default, &ours);
    std::raise(signal_number); // held back by the mask until the next line
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    // Only a stop returns here, once something has continued us.
    sigprocmask(SIG_BLOCK, &just_this, nullptr);
    sigaction(signal_number, &ours, nullptr);
}

// Catches a signal unless whoever started us chose to ignore it, as a shell
// does for a background job's Ctrl-C or for a Ctrl-Z it cannot act on.
void catch_signal(int signal_number) {
    struct sigaction action {};
    sigaction(signal_number, nullptr, &action);
    if (action.sa_handler == SIG_IGN) {
        return;
    }
    action.sa_handler = note;
    action.sa_flags = 0; // no SA_RESTART: a signal must end the wait's system call
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

// Acts on what the handler noted: an end (as the signal would have ended us),
// a stop, a continue. True if it noted anything, so that the caller looks
// again before it waits.
bool act_on_noted_signals(const sigset_t& wait_mask) {
    if (ending_signal != 0) {
        give_back_terminal();
        end_line();
        act_as_default(ending_signal);
    }
    if (stop_requested != 0) {
        // The shell and whatever runs while we are stopped get the terminal as
        // it was. The shell ends the prompt's line as it reports the stop; a
        // line end of ours could land after the shell's own prompt.
        stop_requested = 0;
        give_back_terminal();
        line_open = false;
        act_as_default(SIGTSTP);
        continued = 1;
    }
    if (continued == 0) {
        return false;
    }
    // Others may have had the terminal meanwhile: take it back, and say again
    // that we are waiting. A continue without a stop changes nothing.
    continued = 0;
    termios now{};
    if (!holding || (tcgetattr(STDIN_FILENO, &now) == 0 && !is_one_key(now))) {
        if (take_terminal(wait_mask)) {
            show_prompt_again();
        }
    }
    return true;
}

// Waits for a key with the handled signals open. True once the wait is over:
// the key, or the end of input or an error; false if a signal came first.
bool key_came(const sigset_t& wait_mask) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(STDIN_FILENO, &readable);
    if (pselect(STDIN_FILENO + 1, &readable, nullptr, nullptr, nullptr, &wait_mask) < 0) {
        return errno != EINTR; // a signal is acted on first; otherwise no key will come
    }
    // Signals stay open while reading, so a read that blocks after all
    // (another reader took the byte) can still be interrupted.
    char key = 0;
    const sigset_t blocked = handled_set();
    sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
    const ssize_t n = read(STDIN_FILENO, &key, 1);
    const int read_error = errno;
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    return n >= 0 || (read_error != EINTR && read_error != EAGAIN);
}

// Waits on a terminal for one key, through stops and continues, and puts the
// terminal back as it was on every way out.
void wait_on_terminal() {
    const sigset_t blocked = handled_set();
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    for (const int signal_number : handled) {
        catch_signal(signal_number);
    }
    // Switched before the prompt shows, so a key pressed at the prompt is never echoed.
    if (take_terminal(wait_mask)) {
        show_prompt();
    }
    while (act_on_noted_signals(wait_mask) || !key_came(wait_mask)) {
    }
    // A key such as an arrow sends several bytes: drop the rest, not leave it to the shell.
    if (holding) {
        tcflush(STDIN_FILENO, TCIFLUSH);
    }
    give_back_terminal();
    end_line();
}

} // namespace

int main() {
    // The prompt's reader may have gone (`hello | head -1`): the write fails, and
    // the wait goes on, as the Windows pause waits whoever reads its prompt.
    std::signal(SIGPIPE, SIG_IGN);
    if (isatty(STDIN_FILENO) != 0) {
        wait_on_terminal();
        return 0;
    }
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    // Any byte is the key; end of input or an error ends the wait too.
    char key = 0;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    std::fputs("\n", stdout);
    return 0;
}

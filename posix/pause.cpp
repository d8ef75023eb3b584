// Stand-in for the Windows interpreter's "pause": prompt, wait for one key, go on.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

termios saved; // the terminal as we found it, put back on every way out

void restore_terminal() {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

// Put the terminal back and end the prompt's line, then end the way this
// signal would have ended us.
void restore_and_reraise(int signal_number) {
    restore_terminal();
    [[maybe_unused]] const ssize_t ignored = write(STDOUT_FILENO, "\n", 1);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number); // delivered once the handler returns and unblocks it
}

void restore_terminal_on_signals() {
    // SIGPIPE too: standard output may be a pipe whose reader has gone.
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : signals) {
        sigaddset(&action.sa_mask, signal_number); // one restore at a time
    }
    for (const int signal_number : signals) {
        sigaction(signal_number, &action, nullptr);
    }
}

} // namespace

int main() {
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        restore_terminal_on_signals();
        // One key, unechoed, without waiting for Enter; Ctrl-C still interrupts.
        termios one_key = saved;
        one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        one_key.c_cc[VMIN] = 1;
        one_key.c_cc[VTIME] = 0;
        // Switched before the prompt shows, so a key pressed at the prompt is never echoed.
        tcsetattr(STDIN_FILENO, TCSANOW, &one_key);
    }

    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);

    // Any byte is the key; end of input or an error ends the wait too.
    char key = 0;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }

    if (terminal) {
        // A key such as an arrow sends several bytes: drop the rest, not leave it to the shell.
        tcflush(STDIN_FILENO, TCIFLUSH);
        restore_terminal();
    }
    std::fputs("\n", stdout);
    return 0;
}

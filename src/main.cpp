#include <csignal>
#include <cstdio>
#include <cstdlib>

int main() {
#ifdef SIGPIPE
    // A reader that has gone must not kill us: the write just fails, and the pause still runs.
    const auto previous_sigpipe = std::signal(SIGPIPE, SIG_IGN);
#endif
    std::puts("Hello World!");
    // On a pipe or file stdout is fully buffered; flush so the greeting lands before the prompt.
    std::fflush(stdout);
#ifdef SIGPIPE
    // The interpreter, and whatever it runs, must start with the disposition we were given.
    std::signal(SIGPIPE, previous_sigpipe);
#endif
    // Whatever the interpreter or the command reports, our status stays 0.
    [[maybe_unused]] const int ignored = std::system("pause");
    return 0;
}

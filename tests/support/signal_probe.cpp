// Prints how this process was started with respect to signals: SIGPIPE's
// disposition and the blocked ones. A program that is started the way a shell
// starts it prints "SIGPIPE default, blocked none".
#include <csignal>
#include <cstdio>

int main() {
    struct sigaction sigpipe {};
    sigaction(SIGPIPE, nullptr, &sigpipe);
    const char* disposition = sigpipe.sa_handler == SIG_DFL   ? "default"
                              : sigpipe.sa_handler == SIG_IGN ? "ignored"
                                                              : "caught";
    std::printf("SIGPIPE %s, blocked", disposition);

    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    bool any = false;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (sigismember(&blocked, signal_number) == 1) {
            std::printf(" %d", signal_number);
            any = true;
        }
    }
    std::printf("%s\n", any ? "" : " none");
    return 0;
}

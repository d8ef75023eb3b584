// Linked into the programs of coverage builds alone, in place of raise()
// (-Wl,--wrap=raise). A program that ends by raising a signal at its default
// action never reaches the exit that writes its coverage counts: write them
// first, then clear them, so that a run that goes on after a stop does not
// count twice what it had done before.
#include <csignal>

extern "C" {
void __gcov_dump(void);
void __gcov_reset(void);
int __real_raise(int signal_number);

int __wrap_raise(int signal_number) {
    __gcov_dump();
    __gcov_reset();
    return __real_raise(signal_number);
}
}

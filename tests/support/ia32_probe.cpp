// Exits 0 if this kernel lets a process use its 32-bit system call gate, the
// way wine64 sets up each 32-bit Windows program it runs through WoW64. A
// kernel with IA32 emulation off (ia32_emulation=0, or built without it) kills
// the process with SIGSEGV instead (a sanitizer's handler makes that exit 1):
// no 32-bit program can run on it at all.
#include <cstdio>

int main() {
#if defined(__x86_64__) && defined(__linux__)
    long pid = 20; // getpid in the 32-bit system call table
    __asm__ volatile("int $0x80" : "+a"(pid) : : "memory");
    return pid > 0 ? 0 : 1;
#else
    std::puts("not an x86-64 Linux kernel");
    return 2;
#endif
}

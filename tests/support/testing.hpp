// The GoogleTest glue that every test file shares: tables of cases, what a
// test that cannot run reports, matchers for how a process ended, and the
// values that several files need.
#pragma once

#include "process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace proc {

// ---- Tables of cases ---------------------------------------------------------------------

// A row of a table of cases, shown by its name in test names and messages.
template <typename Data> struct Case {
    const char* name;
    Data data;
};
template <typename Data> void PrintTo(const Case<Data>& row, std::ostream* os) {
    *os << row.name;
}
inline constexpr auto case_name = [](const auto& info) { return std::string(info.param.name); };

// ---- How a process ended -----------------------------------------------------------------

// EXPECT_THAT(result, ExitedWith(0)): it exited, with this status, before its
// deadline. A failure shows the whole result: status, output, error output.
MATCHER_P(ExitedWith, code, "exited with status " + testing::PrintToString(code)) {
    return arg.exited_with(code);
}
// EXPECT_THAT(result, KilledBy(SIGTERM)): a signal ended it, before its deadline.
MATCHER_P(KilledBy, signal_number, "ended by signal " + testing::PrintToString(signal_number)) {
    return !arg.timed_out && arg.signal == signal_number;
}

// ---- Values that several test files share ------------------------------------------------

// What our pause, and a run of the program with it, show while they wait.
inline constexpr char pause_prompt[] = "Press any key to continue . . . ";
// The system's own programs, and nothing of ours.
inline constexpr char system_path[] = "/usr/bin:/bin";
// This environment with `dir` first on PATH, before the system's programs:
// how the run command puts the built pause where the shell finds it.
Environment with_first_on_path(const std::string& dir);
// The same with the folder of this built pause first.
Environment with_pause_from(const std::string& pause_program);

// ---- Tests that cannot run ---------------------------------------------------------------

bool in_ci();

} // namespace proc

// Something that this system should have, such as a tool: where it is missing
// the test is skipped with the reason, and under CI, where everything must run,
// the same thing is a failure.
#define REQUIRE_OR_SKIP(condition, reason)                                                         \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            if (::proc::in_ci()) {                                                                 \
                FAIL() << "missing, and required under CI: " << (reason);                          \
            }                                                                                      \
            GTEST_SKIP() << "missing: " << (reason);                                               \
        }                                                                                          \
    } while (false)

// A case that cannot apply on this platform at all, such as an ELF check where
// programs are not ELF: skipped with the reason, under CI too.
#define SKIP_UNLESS_PLATFORM_HAS(condition, reason)                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            GTEST_SKIP() << "not on this platform: " << (reason);                                  \
        }                                                                                          \
    } while (false)

// The Windows cross compilers, wine64 and the release tools are set up for the
// tests on Linux, where they are required like any tool; on other systems the
// Windows programs are not built or tested, and these cases do not apply.
#ifdef __linux__
#define REQUIRE_ON_LINUX_OR_SKIP(condition, reason) REQUIRE_OR_SKIP(condition, reason)
#else
#define REQUIRE_ON_LINUX_OR_SKIP(condition, reason)                                                \
    SKIP_UNLESS_PLATFORM_HAS(condition,                                                            \
                             std::string(reason) + " (the Windows builds are tested on Linux)")
#endif

// Runs a tool that the test needs, as `const Result result = run(launch)`; where
// it is not installed (the shell's 127), skips naming it, or fails under CI.
#define RUN_TOOL(result, ...)                                                                      \
    const ::proc::Launch result##_launch = __VA_ARGS__;                                            \
    const ::proc::Result result = ::proc::run(result##_launch);                                    \
    REQUIRE_OR_SKIP(result.exit_code != 127, result##_launch.argv.at(0) + " is not installed")

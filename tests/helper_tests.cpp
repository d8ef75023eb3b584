// The process helpers keep their promises: every wait ends by its deadline,
// also when a child takes none of what it is given.
#include "terminal.hpp"
#include "testing.hpp"

#include <chrono>
#include <string>

using namespace proc;

namespace {

using Clock = std::chrono::steady_clock;

const std::string plenty(1'000'000, 'x'); // far more than a pipe or a terminal holds

TEST(Run, FeedsInputAsTheChildReadsItHoweverMuchThereIs) {
    const Result result =
        run({.argv = {"cat"}, .input = Input::bytes, .input_bytes = plenty, .deadline = 10s});

    EXPECT_THAT(result, ExitedWith(0)) << result.exit_code.value_or(-1);
    EXPECT_TRUE(result.out == plenty) << result.out.size() << " bytes came back";
}

TEST(Run, KeepsItsDeadlineWhenTheChildReadsNoneOfItsInput) {
    const auto start = Clock::now();
    const Result result = run(
        {.argv = {"sleep", "30"}, .input = Input::bytes, .input_bytes = plenty, .deadline = 1s});

    EXPECT_TRUE(result.timed_out) << result;
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(Terminal, TypingIntoAProgramThatReadsNothingFailsRatherThanHangs) {
    // Raw, the terminal keeps every key until it is read, and pushes back once
    // it holds no more; in line mode it would drop them instead.
    Terminal terminal({"sh", "-c", "stty raw -echo && echo ready && exec sleep 30"});
    ASSERT_TRUE(terminal.wait_for("ready", 5s));
    const auto start = Clock::now();

    EXPECT_THROW(terminal.type(plenty), std::runtime_error);
    EXPECT_LT(Clock::now() - start, 5s);
}

} // namespace

// The README's two commands as a newcomer meets them: the run command needs
// nothing beyond CMake, Ninja and a compiler, and the test command says what
// is missing when GoogleTest is. GoogleTest is hidden from CMake for these
// runs as if it were not installed.
#include "process.hpp"

#include <filesystem>
#include <string>

using namespace proc;

namespace {

namespace fs = std::filesystem;

const std::string no_googletest = "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON";

// The source tree without its builds, so that a preset's build folder is the copy's own.
void copy_sources(const fs::path& to) {
    for (const auto& entry : fs::directory_iterator(SOURCE_DIR)) {
        const std::string name = entry.path().filename().string();
        if (name != "build" && name != ".git" && name != ".cache") {
            fs::copy(entry.path(), to / name, fs::copy_options::recursive);
        }
    }
}

TEST(RunCommand, BuildsWithoutTheTestToolsThenGreetsAndWaitsForOneKey) {
    const TempDir sources;
    copy_sources(sources.path());
    const Result configured = run(
        {.argv = {CMAKE_COMMAND, "-S", sources.path().string(), "--preset", "run", no_googletest},
         .input = Input::dev_null,
         .deadline = 120s});
    ASSERT_TRUE(configured.exited_with(0)) << configured;

    // The README's second half, typed at a terminal in the source folder.
    Terminal terminal({"sh", "-c", "cd \"$1\" && exec \"$2\" --build --preset run", "sh",
                       sources.path().string(), CMAKE_COMMAND});
    const std::string waiting = "Hello World!\r\nPress any key to continue . . . ";
    ASSERT_TRUE(terminal.wait_for(waiting, 120s)) << testing::PrintToString(terminal.screen());
    ASSERT_TRUE(terminal.await([&] { return (terminal.settings().c_lflag & ECHO) == 0; }, 5s))
        << "not waiting for one key";
    terminal.type("x");
    const auto result = terminal.wait_exit(30s);

    ASSERT_TRUE(result) << "still waiting after the key: "
                        << testing::PrintToString(terminal.screen());
    EXPECT_TRUE(result->exited_with(0)) << *result;
    EXPECT_EQ(describe(terminal.settings()), describe(terminal.initial_settings()));
}

TEST(TestCommand, WithoutGoogleTestStopsAndSaysWhatToInstall) {
    const TempDir build;
    const Result configured =
        run({.argv = {CMAKE_COMMAND, "-S", SOURCE_DIR, "-B", build.path().string(), "--preset",
                      "default", no_googletest},
             .input = Input::dev_null,
             .deadline = 120s});

    EXPECT_FALSE(configured.exited_with(0)) << configured;
    EXPECT_NE(configured.err.find("The tests need GoogleTest"), std::string::npos) << configured;
    EXPECT_NE(configured.err.find("libgtest-dev"), std::string::npos) << configured;
}

} // namespace

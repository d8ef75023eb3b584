// The README's two commands as a newcomer meets them: the run command needs
// nothing beyond CMake, Ninja and a compiler, and the test command says what
// is missing when GoogleTest is. GoogleTest is hidden from CMake for these
// runs as if it were not installed.
#include "config.hpp"
#include "files.hpp"
#include "terminal.hpp"
#include "testing.hpp"

#include <filesystem>
#include <string>

using namespace proc;

namespace {

namespace fs = std::filesystem;

const std::string no_googletest = "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON";

TEST(RunCommand, BuildsWithoutTheTestToolsThenGreetsAndWaitsForOneKey) {
    const TempDir sources;
    copy_sources(config::source_dir, sources.path());
    const Result configured = run({.argv = {config::cmake_command, "-S", sources.path().string(),
                                            "--preset", "run", no_googletest},
                                   .input = Input::dev_null,
                                   .deadline = 120s});
    ASSERT_THAT(configured, ExitedWith(0));

    // The README's second half, typed at a terminal in the source folder.
    Terminal terminal({"sh", "-c", "cd \"$1\" && exec \"$2\" --build --preset run", "sh",
                       sources.path().string(), config::cmake_command});
    const std::string waiting = "Hello World!\r\n" + std::string(pause_prompt);
    ASSERT_TRUE(terminal.wait_for(waiting, 120s));
    ASSERT_TRUE(terminal.await([&] { return !echoes(terminal.settings()); }, 5s))
        << "not waiting for one key";
    terminal.type("x");
    const auto result = terminal.wait_exit(30s);

    ASSERT_TRUE(result) << "still waiting after the key\n" << terminal.state();
    EXPECT_THAT(*result, ExitedWith(0));
    EXPECT_EQ(describe(terminal.settings()), describe(terminal.initial_settings()));
}

TEST(TestCommand, WithoutGoogleTestStopsAndSaysWhatToInstall) {
    const TempDir build;
    const Result configured =
        run({.argv = {config::cmake_command, "-S", config::source_dir, "-B", build.path().string(),
                      "--preset", "default", no_googletest},
             .input = Input::dev_null,
             .deadline = 120s});

    EXPECT_THAT(configured, testing::Not(ExitedWith(0)));
    EXPECT_NE(configured.err.find("The tests need GoogleTest"), std::string::npos) << configured;
    EXPECT_NE(configured.err.find("libgtest-dev"), std::string::npos) << configured;
}

} // namespace

// What `cmake --install` puts where on POSIX, and the manual pages it installs.
#include "config.hpp"
#include "files.hpp"
#include "testing.hpp"

#include <filesystem>
#include <string>

using namespace proc;

namespace {

namespace fs = std::filesystem;

class ManualPage : public ::testing::TestWithParam<Case<const char*>> {};

TEST_P(ManualPage, RendersWithoutWarnings) {
    const fs::path page = fs::path(config::man_dir) / GetParam().data;
    const Result lint = run({.argv = {"mandoc", "-T", "lint", "-W", "warning", page.string()}});
    REQUIRE_OR_SKIP(lint.exit_code != 127, "mandoc is not installed");

    EXPECT_THAT(lint, ExitedWith(0));
    EXPECT_EQ(lint.out + lint.err, "");
}

TEST_P(ManualPage, NamesTheInstalledVersion) {
    const std::string text = read_file(fs::path(config::man_dir) / GetParam().data);

    EXPECT_NE(text.find("\"hello " + std::string(config::version) + "\""), std::string::npos)
        << text.substr(0, 80);
}

INSTANTIATE_TEST_SUITE_P(Of, ManualPage,
                         ::testing::Values(Case<const char*>{"Hello", "hello.1"},
                                           Case<const char*>{"Pause", "pause.1"}),
                         case_name);

TEST(Install, PutsEachFileWhereGnuInstallDirsSays) {
    const TempDir prefix;
    const Result install = run({.argv = {config::cmake_command, "--install", config::build_dir,
                                         "--prefix", prefix.path().string()},
                                .deadline = 30s});
    ASSERT_THAT(install, ExitedWith(0));

    for (const fs::path& file :
         {fs::path(config::bindir) / "hello", fs::path(config::bindir) / "pause",
          fs::path(config::mandir) / "man1/hello.1", fs::path(config::mandir) / "man1/pause.1",
          fs::path(config::docdir) / "LICENSE"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix.path() / file)) << file << " is not installed";
    }
    const Result hello = run({.argv = {(prefix.path() / config::bindir / "hello").string()},
                              .env = with_first_on_path((prefix.path() / config::bindir).string()),
                              .input = Input::dev_null});
    EXPECT_THAT(hello, ExitedWith(0));
    EXPECT_EQ(hello.out, "Hello World!\n" + std::string(pause_prompt) + "\n")
        << "the installed pair does not find each other";
}

} // namespace

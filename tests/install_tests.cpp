// What `cmake --install` puts where on POSIX, and the manual pages it installs.
#include "process.hpp"

#include <filesystem>
#include <string>

using namespace proc;

namespace {

namespace fs = std::filesystem;

class ManualPage : public ::testing::TestWithParam<Case<const char*>> {};

TEST_P(ManualPage, RendersWithoutWarnings) {
    const fs::path page = fs::path(MAN_DIR) / GetParam().data;
    const Result lint = run({.argv = {"mandoc", "-T", "lint", "-W", "warning", page.string()}});
    REQUIRE_OR_SKIP(lint.exit_code != 127, "mandoc is not installed");

    EXPECT_TRUE(lint.exited_with(0)) << lint;
    EXPECT_EQ(lint.out + lint.err, "");
}

TEST_P(ManualPage, NamesTheInstalledVersion) {
    const std::string text = read_file(fs::path(MAN_DIR) / GetParam().data);

    EXPECT_NE(text.find("\"hello " VERSION "\""), std::string::npos) << text.substr(0, 80);
}

INSTANTIATE_TEST_SUITE_P(Of, ManualPage,
                         ::testing::Values(Case<const char*>{"Hello", "hello.1"},
                                           Case<const char*>{"Pause", "pause.1"}),
                         case_name);

TEST(Install, PutsEachFileWhereGnuInstallDirsSays) {
    const TempDir prefix;
    const Result install =
        run({.argv = {CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix.path().string()},
             .deadline = 30s});
    ASSERT_TRUE(install.exited_with(0)) << install;

    for (const fs::path& file :
         {fs::path(BINDIR) / "hello", fs::path(BINDIR) / "pause", fs::path(MANDIR) / "man1/hello.1",
          fs::path(MANDIR) / "man1/pause.1", fs::path(DOCDIR) / "LICENSE"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix.path() / file)) << file << " is not installed";
    }
    const Result hello = run(
        {.argv = {(prefix.path() / BINDIR / "hello").string()},
         .env = environment_with({"PATH=" + (prefix.path() / BINDIR).string() + ":/usr/bin:/bin"}),
         .input = Input::dev_null});
    EXPECT_TRUE(hello.exited_with(0)) << hello;
    EXPECT_EQ(hello.out, "Hello World!\nPress any key to continue . . . \n")
        << "the installed pair does not find each other";
}

} // namespace

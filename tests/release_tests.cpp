// The release zip, what a Windows user downloads: its layout, its text files,
// its checksum, that it builds again byte for byte, and that it can be signed.
#include "pe.hpp"
#include "process.hpp"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

using namespace proc;

namespace {

namespace fs = std::filesystem;

const std::string top = RELEASE_TOP;

// Runs a tool that the test needs; skips (fails under CI) when it is not installed.
#define RUN_TOOL(result, ...)                                                                      \
    const Result result = run(__VA_ARGS__);                                                        \
    REQUIRE_ON_LINUX_OR_SKIP(result.exit_code != 127, "a tool this test runs is not installed")

class ReleaseZip : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_ON_LINUX_OR_SKIP(fs::exists(RELEASE_ZIP),
                                 "no i686-w64-mingw32-g++: the release zip was not built");
        REQUIRE_ON_LINUX_OR_SKIP(run({.argv = {"unzip", "-v"}}).exit_code != 127,
                                 "unzip is not installed");
    }

    // One file of the zip, as bytes.
    static std::string entry(const std::string& zip, const std::string& name) {
        const Result unzip = run({.argv = {"unzip", "-p", zip, top + "/" + name}});
        EXPECT_TRUE(unzip.exited_with(0)) << unzip;
        return unzip.out;
    }

    // Builds the release again from these sources into a new folder, with the
    // environment given; the zip it makes, or "" if the build failed.
    static fs::path build_again(const fs::path& dir, const Environment& env,
                                const std::vector<std::string>& definitions = {}) {
        std::vector<std::string> argv = {CMAKE_COMMAND, "-D", "SOURCE_DIR=" SOURCE_DIR, "-D",
                                         "BINARY_DIR=" + dir.string()};
        for (const auto& definition : definitions) {
            argv.insert(argv.end(), {"-D", definition});
        }
        argv.insert(argv.end(), {"-P", BUILD_RELEASE});
        const Result build = run({.argv = argv, .env = env, .deadline = 300s});
        EXPECT_TRUE(build.exited_with(0)) << build;
        return dir / fs::path(RELEASE_ZIP).filename();
    }
};

TEST_F(ReleaseZip, HoldsTheProgramReadmeAndLicenceInOneFolder) {
    const Result list = run({.argv = {"unzip", "-Z1", RELEASE_ZIP}});
    ASSERT_TRUE(list.exited_with(0)) << list;

    std::set<std::string> entries;
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) {
        entries.insert(line);
    }
    EXPECT_EQ(entries, (std::set<std::string>{top + "/hello.exe", top + "/README.txt",
                                              top + "/LICENSE.txt"}));
}

class ReleaseText : public ReleaseZip, public ::testing::WithParamInterface<Case<const char*>> {};

TEST_P(ReleaseText, HasCrLfLineEndsOnly) {
    const std::string text = entry(RELEASE_ZIP, GetParam().data);

    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ASSERT_TRUE(at > 0 && text[at - 1] == '\r') << "a bare LF at byte " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Of, ReleaseText,
                         ::testing::Values(Case<const char*>{"Readme", "README.txt"},
                                           Case<const char*>{"Licence", "LICENSE.txt"}),
                         case_name);

TEST_F(ReleaseZip, LicenceIsTheProjectsAndTheReadmeNamesTheVersion) {
    std::string licence = entry(RELEASE_ZIP, "LICENSE.txt");
    for (size_t at; (at = licence.find("\r\n")) != std::string::npos;) {
        licence.erase(at, 1);
    }

    EXPECT_EQ(licence, read_file(LICENSE_FILE));
    EXPECT_NE(entry(RELEASE_ZIP, "README.txt").find("hello " VERSION), std::string::npos);
}

TEST_F(ReleaseZip, EveryEntryBearsTheCommitsTime) {
    // The commit checked out, or the fixed time of a tree outside git.
    const Result commit = run({.argv = {"git", "-C", SOURCE_DIR, "log", "-1", "--format=%ct"}});
    const std::time_t epoch = commit.exited_with(0) ? std::stoll(commit.out) : 1767225600;
    // unzip -Z -T: "... yyyymmdd.hhmmss name", read in UTC.
    const Result list =
        run({.argv = {"unzip", "-Z", "-T", RELEASE_ZIP}, .env = environment_with({"TZ=UTC0"})});
    ASSERT_TRUE(list.exited_with(0)) << list;
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y%m%d.%H%M%S", std::gmtime(&epoch));

    std::istringstream lines(list.out);
    int entries = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> word = words_of(line);
        if (word.size() == 8 && word[7].rfind(top + "/", 0) == 0) {
            ++entries;
            EXPECT_EQ(word[6], expected) << word[7];
        }
    }
    EXPECT_GT(entries, 0) << list.out;
}

TEST_F(ReleaseZip, ChecksumFileIsWhatSha256sumChecks) {
    const fs::path zip = RELEASE_ZIP;
    const std::string sums = read_file(zip.string() + ".sha256");
    ASSERT_EQ(sums.size(), 64 + 2 + zip.filename().string().size() + 1) << sums;
    EXPECT_EQ(sums.substr(64), "  " + zip.filename().string() + "\n");

    RUN_TOOL(check, {.argv = {"sh", "-c", "cd \"$1\" && sha256sum -c \"$2\"", "sh",
                              zip.parent_path().string(), zip.filename().string() + ".sha256"}});
    EXPECT_TRUE(check.exited_with(0)) << check;
}

TEST_F(ReleaseZip, ProgramRunsOnAnyWindowsAndHoldsNoBuildPaths) {
    REQUIRE_ON_LINUX_OR_SKIP(*X86_OBJDUMP != '\0', "no MinGW-w64 objdump");
    const TempDir scratch;
    const fs::path program = scratch.path() / "hello.exe";
    std::ofstream(program, std::ios::binary) << entry(RELEASE_ZIP, "hello.exe");

    expect_runs_on_any_windows(X86_OBJDUMP, program.string(), pe_x86);
    const std::string bytes = read_file(program);
    EXPECT_EQ(bytes.find(SOURCE_DIR), std::string::npos) << "the source folder is in it";
    EXPECT_EQ(bytes.find(fs::path(RELEASE_ZIP).parent_path().string()), std::string::npos)
        << "the build folder is in it";
}

TEST_F(ReleaseZip, BuildsAgainByteForByteInAnotherFolderAndTimeZone) {
    const TempDir other;
    // Built later than the first, in a zone fourteen hours ahead of UTC.
    const fs::path zip =
        build_again(other.path() / "release", environment_with({"TZ=Pacific/Kiritimati"}));

    ASSERT_TRUE(fs::exists(zip));
    EXPECT_TRUE(read_file(zip) == read_file(RELEASE_ZIP)) << "the two zips differ";
    EXPECT_EQ(read_file(zip.string() + ".sha256"), read_file(RELEASE_ZIP ".sha256"));
}

TEST_F(ReleaseZip, SignedWithACertificateVerifiesAndStillRunsOnAnyWindows) {
    REQUIRE_ON_LINUX_OR_SKIP(*X86_OBJDUMP != '\0', "no MinGW-w64 objdump");
    const TempDir keys;
    const std::string cert = (keys.path() / "cert.pem").string(),
                      key = (keys.path() / "key.pem").string();
    // A throwaway certificate for code signing, made for this test alone.
    RUN_TOOL(made, {.argv = {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                             "/CN=hello test signer", "-days", "1", "-addext",
                             "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert}});
    ASSERT_TRUE(made.exited_with(0)) << made;
    RUN_TOOL(tool, {.argv = {"osslsigncode", "--version"}});

    const fs::path zip = build_again(keys.path() / "release", environment_with({}),
                                     {"SIGNING_CERT=" + cert, "SIGNING_KEY=" + key});
    ASSERT_TRUE(fs::exists(zip));
    const fs::path program = keys.path() / "hello.exe";
    std::ofstream(program, std::ios::binary) << entry(zip.string(), "hello.exe");

    const Result verify =
        run({.argv = {"osslsigncode", "verify", "-CAfile", cert, "-in", program.string()}});
    EXPECT_TRUE(verify.exited_with(0)) << verify;
    expect_runs_on_any_windows(X86_OBJDUMP, program.string(), pe_x86);
    EXPECT_FALSE(read_file(zip) == read_file(RELEASE_ZIP)) << "the zip was not signed";
}

} // namespace

// The release, what a Windows user downloads: the zip's layout, its text files
// and notices, the bill of materials and the checksums beside it, the program
// in it, that the same sources give the same bytes wherever and however they
// are built, that its time is the commit's, and that it can be signed.
#include "config.hpp"
#include "files.hpp"
#include "pe.hpp"
#include "testing.hpp"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

using namespace proc;

namespace {

namespace fs = std::filesystem;

const std::string top = config::release_top;

// This process's environment without SOURCE_DATE_EPOCH, for builds whose time
// must come from the sources; and with changes on top.
Environment sources_decide_the_time(const Environment& changes = {}) {
    Environment env;
    for (const auto& var : environment_with(changes)) {
        if (var.rfind("SOURCE_DATE_EPOCH=", 0) != 0) {
            env.push_back(var);
        }
    }
    return env;
}

// The release's time as a distribution's build sets it, else the commit's.
std::time_t release_time() {
    if (const char* given = std::getenv("SOURCE_DATE_EPOCH")) {
        return std::stoll(given);
    }
    const Result commit =
        run({.argv = {"git", "-C", config::source_dir, "log", "-1", "--format=%ct"}});
    return commit.exited_with(0) ? std::stoll(commit.out) : -1;
}

// unzip -Z -T's "yyyymmdd.hhmmss" for a time, in UTC.
std::string zip_time(std::time_t time) {
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d.%H%M%S", std::gmtime(&time));
    return text;
}

// Hides git from CMake, which looks in the system's folders whatever PATH says.
const std::string cmake_without_git = "CONFIGURE_ARGS=-DCMAKE_DISABLE_FIND_PACKAGE_Git=ON";

// A PATH with every program of this system's but git.
std::string path_without_git(const fs::path& bin) {
    fs::create_directories(bin);
    for (const char* dir : {"/usr/bin", "/bin"}) {
        if (!fs::is_directory(dir)) {
            continue;
        }
        for (const auto& program : fs::directory_iterator(dir)) {
            const std::string name = program.path().filename().string();
            if (name.rfind("git", 0) != 0 && !fs::exists(bin / name)) {
                fs::create_symlink(program.path(), bin / name);
            }
        }
    }
    return "PATH=" + bin.string();
}

class ReleaseZip : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_ON_LINUX_OR_SKIP(fs::exists(config::release_zip),
                                 "no i686-w64-mingw32-g++: the release zip was not built");
        REQUIRE_ON_LINUX_OR_SKIP(run({.argv = {"unzip", "-v"}}).exit_code != 127,
                                 "unzip is not installed");
    }

    // One file of the zip, as bytes.
    static std::string entry(const std::string& zip, const std::string& name) {
        const Result unzip = run({.argv = {"unzip", "-p", zip, top + "/" + name}});
        EXPECT_THAT(unzip, ExitedWith(0));
        return unzip.out;
    }

    // Each entry's time, as unzip reads it in UTC.
    static std::map<std::string, std::string> entry_times(const std::string& zip) {
        const Result list =
            run({.argv = {"unzip", "-Z", "-T", zip}, .env = environment_with({"TZ=UTC0"})});
        EXPECT_THAT(list, ExitedWith(0));
        std::map<std::string, std::string> times;
        for (const auto& line : lines_of(list.out)) {
            const std::vector<std::string> word = words_of(line);
            if (word.size() == 8 && word[7].rfind(top + "/", 0) == 0) {
                times[word[7]] = word[6];
            }
        }
        return times;
    }

    // Every entry and the program's header bear this time.
    static void expect_time(const std::string& zip, std::time_t time) {
        const auto times = entry_times(zip);
        EXPECT_FALSE(times.empty()) << "no entries in " << zip;
        for (const auto& [name, stamp] : times) {
            // An entry holds its time to two seconds: the time, rounded down to that.
            EXPECT_EQ(stamp, zip_time(time / 2 * 2)) << name;
        }
        const auto header = read_coff_header(entry(zip, "hello.exe"));
        ASSERT_TRUE(header) << "hello.exe is not a PE file";
        EXPECT_EQ(header->time_date_stamp, static_cast<std::uint32_t>(time))
            << "the program's header has another time than its zip entry";
    }

    // Builds the release again from these sources, or others, into a new
    // folder, with the environment given. The zip it makes is there if it worked.
    static Result build_again(const fs::path& dir, const Environment& env,
                              const std::vector<std::string>& definitions = {},
                              const std::string& sources = config::source_dir) {
        std::vector<std::string> argv = {config::cmake_command, "-D", "SOURCE_DIR=" + sources, "-D",
                                         "BINARY_DIR=" + dir.string()};
        for (const auto& definition : definitions) {
            argv.insert(argv.end(), {"-D", definition});
        }
        argv.insert(argv.end(), {"-P", config::build_release});
        return run(build_step(argv, env));
    }
    // One step of a build by hand, configure, build or package, as a maintainer runs it.
    static Launch build_step(std::vector<std::string> argv,
                             const std::optional<Environment>& env = std::nullopt) {
        return {.argv = std::move(argv), .env = env, .input = Input::dev_null, .deadline = 300s};
    }
    static fs::path zip_in(const fs::path& dir) {
        return dir / fs::path(config::release_zip).filename();
    }
    // What the release writes beside the zip.
    static fs::path sbom_in(const fs::path& dir) {
        return dir / (top + ".cdx.json");
    }
    static fs::path sums_in(const fs::path& dir) {
        return dir / (top + ".sha256");
    }
    static fs::path release_dir() {
        return fs::path(config::release_zip).parent_path();
    }
    // The zip, its bill of materials and its checksums in this folder are the
    // build's, byte for byte.
    static void expect_same_release_in(const fs::path& dir) {
        EXPECT_TRUE(read_file(zip_in(dir)) == read_file(config::release_zip))
            << "the two zips differ";
        EXPECT_EQ(read_file(sbom_in(dir)), read_file(sbom_in(release_dir())));
        EXPECT_EQ(read_file(sums_in(dir)), read_file(sums_in(release_dir())));
    }
};

// ---- What is in it ---------------------------------------------------------------------

TEST_F(ReleaseZip, HoldsTheProgramReadmeLicenceAndNoticesInOneFolder) {
    const Result list = run({.argv = {"unzip", "-Z1", config::release_zip}});
    ASSERT_THAT(list, ExitedWith(0));

    const std::vector<std::string> lines = lines_of(list.out);
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
              (std::set<std::string>{top + "/hello.exe", top + "/README.txt", top + "/LICENSE.txt",
                                     top + "/THIRD-PARTY-NOTICES.txt"}));
}

class ReleaseText : public ReleaseZip, public ::testing::WithParamInterface<Case<const char*>> {};

TEST_P(ReleaseText, HasCrLfLineEndsOnly) {
    const std::string text = entry(config::release_zip, GetParam().data);

    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ASSERT_TRUE(at > 0 && text[at - 1] == '\r') << "a bare LF at byte " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Of, ReleaseText,
                         ::testing::Values(Case<const char*>{"Readme", "README.txt"},
                                           Case<const char*>{"Licence", "LICENSE.txt"},
                                           Case<const char*>{"Notices", "THIRD-PARTY-NOTICES.txt"}),
                         case_name);

TEST_F(ReleaseZip, LicenceIsTheProjectsAndTheReadmeNamesTheVersion) {
    std::string licence = entry(config::release_zip, "LICENSE.txt");
    for (size_t at; (at = licence.find("\r\n")) != std::string::npos;) {
        licence.erase(at, 1);
    }

    EXPECT_EQ(licence, read_file(config::license_file));
    EXPECT_NE(
        entry(config::release_zip, "README.txt").find(std::string("hello ") + config::version),
        std::string::npos);
}

// The files the linker took code from, as their paths stand in the link map:
// whole objects, and archives that members were pulled out of. The program's
// own objects are not counted.
std::set<std::string> linked_from(const std::string& map) {
    std::set<std::string> files;
    bool in_members = false;
    for (const auto& line : lines_of(map)) {
        if (line.rfind("Archive member included", 0) == 0) {
            in_members = true;
        } else if (line.rfind("Discarded input sections", 0) == 0 ||
                   line.rfind("Memory Configuration", 0) == 0 ||
                   line.rfind("Allocating common symbols", 0) == 0) {
            in_members = false;
        } else if (in_members && !line.empty() && line[0] != ' ' &&
                   line.find('(') != std::string::npos) {
            files.insert(fs::path(line.substr(0, line.find('('))).lexically_normal().string());
        } else if (line.rfind("LOAD ", 0) == 0 && line.size() > 7 &&
                   line.compare(line.size() - 2, 2, ".o") == 0 &&
                   line.find("CMakeFiles/") == std::string::npos) {
            files.insert(fs::path(line.substr(5)).lexically_normal().string());
        }
    }
    return files;
}

TEST_F(ReleaseZip, NoticesCoverEveryLibraryTheLinkerTookCodeFrom) {
    const std::string map = read_file(config::release_map);
    ASSERT_FALSE(map.empty()) << "no link map at " << config::release_map;
    std::set<std::string> linked;
    for (const auto& path : linked_from(map)) {
        linked.insert(fs::path(path).filename().string());
    }
    ASSERT_TRUE(linked.count("crt2.o") == 1 && linked.count("libgcc.a") == 1)
        << "the link map was not read right: " << testing::PrintToString(linked);

    // The notices' head, before the first licence text, names the files.
    const std::string notices = entry(config::release_zip, "THIRD-PARTY-NOTICES.txt");
    std::string head = notices.substr(0, notices.find("-----"));
    for (char& c : head) {
        c = c == ',' ? ' ' : c;
    }
    const std::vector<std::string> named = words_of(head);
    for (const auto& file : linked) {
        EXPECT_NE(std::find(named.begin(), named.end(), file), named.end())
            << file
            << " is linked into hello.exe, and THIRD-PARTY-NOTICES.txt has no notice for it";
    }
}

TEST_F(ReleaseZip, ChecksumFileCoversTheZipAndItsBillOfMaterialsAsSha256sumChecks) {
    const std::string sums = read_file(sums_in(release_dir()));
    const std::vector<std::string> lines = lines_of(sums);
    ASSERT_EQ(lines.size(), 2u) << sums;
    EXPECT_EQ(lines[0].substr(64), "  " + top + ".zip");
    EXPECT_EQ(lines[1].substr(64), "  " + top + ".cdx.json");

    RUN_TOOL(check, {.argv = {"sh", "-c", "cd \"$1\" && sha256sum -c \"$2\"", "sh",
                              release_dir().string(), top + ".sha256"}});
    EXPECT_THAT(check, ExitedWith(0));
}

// ---- The program in it -----------------------------------------------------------------

TEST_F(ReleaseZip, ProgramRunsOnAnyWindowsAndHoldsNoBuildPathsOrSymbols) {
    REQUIRE_ON_LINUX_OR_SKIP(*config::x86_objdump != '\0', "no MinGW-w64 objdump");
    const TempDir scratch;
    const fs::path program = scratch.path() / "hello.exe";
    std::ofstream(program, std::ios::binary) << entry(config::release_zip, "hello.exe");

    RUN_TOOL(dump, {.argv = {config::x86_objdump, "-p", program.string()}});
    ASSERT_THAT(dump, ExitedWith(0));
    EXPECT_TRUE(runs_on_any_windows(read_pe_headers(dump.out), pe_x86));
    const std::string bytes = read_file(program);
    EXPECT_EQ(bytes.find(config::source_dir), std::string::npos) << "the source folder is in it";
    EXPECT_EQ(bytes.find(fs::path(config::release_zip).parent_path().string()), std::string::npos)
        << "the build folder is in it";
    const auto header = read_coff_header(bytes);
    ASSERT_TRUE(header);
    // The header may still point past the sections, at the names of the long ones.
    EXPECT_EQ(header->symbol_count, 0u) << "not stripped";
}

// ---- Its time: the commit's, whoever builds it -------------------------------------------

TEST_F(ReleaseZip, EveryEntryAndTheProgramsHeaderBearTheReleaseTime) {
    const std::time_t time = release_time();
    ASSERT_GE(time, 0) << "neither SOURCE_DATE_EPOCH nor git tells the commit's time";

    expect_time(config::release_zip, time);
}

TEST_F(ReleaseZip, CpackTakesTheTimeFromSourceDateEpochInItsEnvironment) {
    const TempDir out;
    const std::time_t given = 1700000000;
    const Result cpack = run({.argv = {config::cpack_command, "-G", "ZIP", "--config",
                                       std::string(config::release_dir) + "/CPackConfig.cmake",
                                       "-B", out.path().string()},
                              .env = environment_with({"SOURCE_DATE_EPOCH=1700000000"}),
                              .input = Input::dev_null,
                              .deadline = 120s});
    ASSERT_THAT(cpack, ExitedWith(0));

    expect_time(zip_in(out.path()).string(), given);
}

TEST_F(ReleaseZip, TakesTheTimeOfANewCommitAtTheNextBuild) {
    // A repository of its own holding these sources, so that commits can be made.
    const TempDir repo;
    copy_sources(config::source_dir, repo.path());
    const auto git = [&](std::vector<std::string> args, const std::string& date) {
        args.insert(args.begin(), {"git", "-C", repo.path().string(), "-c", "user.name=test", "-c",
                                   "user.email=test@example.invalid"});
        return run({.argv = args,
                    .env = sources_decide_the_time({"GIT_COMMITTER_DATE=" + date}),
                    .input = Input::dev_null});
    };
    RUN_TOOL(init, {.argv = {"git", "init", "-q", repo.path().string()}});
    ASSERT_THAT(init, ExitedWith(0));
    ASSERT_THAT(git({"add", "-A"}, "@1700000000 +0000"), ExitedWith(0));
    ASSERT_THAT(git({"commit", "-q", "-m", "first"}, "@1700000000 +0000"), ExitedWith(0));
    const fs::path build = repo.path() / "build";
    ASSERT_THAT(run(build_step({config::cmake_command, "-S", repo.path().string(), "-B",
                                build.string(), "--preset", "windows-x86"},
                               sources_decide_the_time())),
                ExitedWith(0));
    ASSERT_THAT(run(build_step({config::cmake_command, "--build", build.string()},
                               sources_decide_the_time())),
                ExitedWith(0));

    ASSERT_THAT(git({"commit", "-q", "--allow-empty", "-m", "second"}, "@1710000000 +0000"),
                ExitedWith(0));
    ASSERT_THAT(run(build_step({config::cmake_command, "--build", build.string()},
                               sources_decide_the_time())),
                ExitedWith(0));
    ASSERT_THAT(run(build_step({config::cpack_command, "-G", "ZIP", "--config",
                                (build / "CPackConfig.cmake").string(), "-B", build.string()},
                               sources_decide_the_time())),
                ExitedWith(0));

    expect_time(zip_in(build).string(), 1710000000);
}

TEST_F(ReleaseZip, StopsAndSaysWhyWhenNeitherGitNorAnArchiveTellsTheTime) {
    const TempDir work;
    copy_sources(config::source_dir, work.path() / "src"); // no .git, and not made by git archive

    const Result build = build_again(
        work.path() / "release", sources_decide_the_time({path_without_git(work.path() / "bin")}),
        {cmake_without_git}, (work.path() / "src").string());

    EXPECT_THAT(build, testing::Not(ExitedWith(0)));
    EXPECT_NE(build.err.find("Install git"), std::string::npos) << build;
    EXPECT_NE(build.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << build;
    EXPECT_FALSE(fs::exists(zip_in(work.path() / "release")));
}

// ---- The same bytes from the same sources, wherever they are built ------------------------

TEST_F(ReleaseZip, BuildsAgainByteForByteFromASourceArchiveWithoutGitElsewhere) {
    // The sources as `git archive` hands them out, with what this tree changes
    // on top, so that they are the ones the first zip was built from.
    const TempDir work;
    const fs::path sources = work.path() / "src";
    fs::create_directories(sources);
    RUN_TOOL(archive, {.argv = {"sh", "-c", "git -C \"$1\" archive HEAD | tar -x -C \"$2\"", "sh",
                                config::source_dir, sources.string()}});
    ASSERT_THAT(archive, ExitedWith(0)) << "not a git checkout: " << archive;
    const Result changed = run({.argv = {"sh", "-c",
                                         "git -C \"$1\" diff --name-only HEAD && "
                                         "git -C \"$1\" ls-files --others --exclude-standard",
                                         "sh", config::source_dir}});
    ASSERT_THAT(changed, ExitedWith(0));
    for (const auto& file : lines_of(changed.out)) {
        const fs::path from = fs::path(config::source_dir) / file, to = sources / file;
        fs::remove(to);
        if (fs::exists(from)) {
            fs::create_directories(to.parent_path());
            fs::copy_file(from, to);
        }
    }

    // Built later than the first, in a zone fourteen hours ahead of UTC, and
    // with no git to ask.
    const Result build = build_again(
        work.path() / "release",
        environment_with({"TZ=Pacific/Kiritimati", path_without_git(work.path() / "bin")}),
        {cmake_without_git}, sources.string());

    ASSERT_THAT(build, ExitedWith(0));
    expect_same_release_in(work.path() / "release");
}

// A folder whose entries a file system lists in reverse (disorderfs), for as
// long as the object lives. The archiver of old took the entries in the order
// the file system lists them, which differs between file systems and machines.
class ReversedListing {
  public:
    explicit ReversedListing(const fs::path& under) : real_(under / "real"), seen_(under / "seen") {
        fs::create_directories(real_);
        fs::create_directories(seen_);
        mounted_ = run({.argv = {"disorderfs", "--reverse-dirents=yes", "--shuffle-dirents=no",
                                 "--multi-user=no", real_.string(), seen_.string()},
                        .input = Input::dev_null,
                        .deadline = 30s});
    }
    ~ReversedListing() {
        if (mounted_.exited_with(0)) {
            run({.argv = {"umount", seen_.string()}, .deadline = 30s});
        }
    }
    ReversedListing(const ReversedListing&) = delete;
    ReversedListing& operator=(const ReversedListing&) = delete;

    const Result& mounted() const {
        return mounted_;
    }
    const fs::path& path() const {
        return seen_;
    }
    // The names in a folder, in the order that the file system lists them.
    static std::vector<std::string> listing(const fs::path& dir) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    std::vector<std::string> real_listing(const std::string& dir) const {
        return listing(real_ / dir);
    }

  private:
    fs::path real_, seen_;
    Result mounted_;
};

TEST_F(ReleaseZip, IsTheSameWhateverOrderTheFileSystemListsItsFilesIn) {
    const TempDir work;
    const ReversedListing reversed(work.path());
    REQUIRE_OR_SKIP(reversed.mounted().exit_code != 127, "disorderfs is not installed");
    ASSERT_THAT(reversed.mounted(), ExitedWith(0));

    const fs::path dir = reversed.path() / "release";
    const Result build = build_again(dir, environment_with({}));

    ASSERT_THAT(build, ExitedWith(0));
    const std::string staged = "release/_CPack_Packages/win32/ZIP/" + top;
    const std::vector<std::string> listed = ReversedListing::listing(reversed.path() / staged),
                                   real = reversed.real_listing(staged);
    ASSERT_EQ(listed, std::vector<std::string>(real.rbegin(), real.rend()))
        << "disorderfs did not reverse the staging folder's listing";
    expect_same_release_in(dir);
}

TEST_F(ReleaseZip, RecordsNoOwnerSoThatWhoBuildsItLeavesNoTrace) {
    const Result details = run({.argv = {"unzip", "-Zv", config::release_zip}});
    ASSERT_THAT(details, ExitedWith(0));

    EXPECT_EQ(details.out.find("UID/GID"), std::string::npos) << details.out;
}

// ---- Its bill of materials ------------------------------------------------------------------

// What the bill of materials says, read by CMake's JSON reader: its lines by their first word.
std::multimap<std::string, std::vector<std::string>> read_sbom(const fs::path& sbom) {
    const Result read = run(
        {.argv = {config::cmake_command, "-D", "SBOM=" + sbom.string(), "-P", config::read_sbom}});
    EXPECT_THAT(read, ExitedWith(0));
    std::multimap<std::string, std::vector<std::string>> said;
    for (const auto& line : lines_of(read.err)) {
        std::vector<std::string> words = words_of(line);
        if (!words.empty()) {
            const std::string kind = words.front();
            words.erase(words.begin());
            said.emplace(kind, words);
        }
    }
    return said;
}

// The first line of this kind, or nothing.
std::vector<std::string> first(const std::multimap<std::string, std::vector<std::string>>& said,
                               const std::string& kind) {
    const auto found = said.find(kind);
    return found == said.end() ? std::vector<std::string>{} : found->second;
}

TEST_F(ReleaseZip, BillOfMaterialsNamesTheZippedProgramWithItsVersionLicenceAndHash) {
    const auto said = read_sbom(sbom_in(release_dir()));
    const TempDir scratch;
    const fs::path program = scratch.path() / "hello.exe";
    std::ofstream(program, std::ios::binary) << entry(config::release_zip, "hello.exe");
    RUN_TOOL(hash, {.argv = {"sha256sum", program.string()}});
    ASSERT_THAT(hash, ExitedWith(0));

    const std::vector<std::string> format = first(said, "format");
    ASSERT_EQ(format.size(), 5u);
    EXPECT_EQ(format[0], "CycloneDX");
    EXPECT_EQ(format[1], "1.6");
    EXPECT_EQ(format[3].rfind("urn:uuid:", 0), 0u) << format[3];
    char time[32];
    const std::time_t released = release_time();
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&released));
    EXPECT_EQ(format[4], time) << "not the release's time";
    EXPECT_EQ(first(said, "program"),
              (std::vector<std::string>{"hello", "hello", config::version, "MIT",
                                        "SHA-256:" + hash.out.substr(0, 64)}));
}

// What the dpkg database says of the package that installed a file: its name,
// version and architecture.
std::vector<std::string> package_of(const std::string& path) {
    const Result owner = run({.argv = {"dpkg-query", "-S", path}});
    if (!owner.exited_with(0)) {
        return {};
    }
    const std::string name = owner.out.substr(0, owner.out.find_first_of(":,"));
    const Result installed =
        run({.argv = {"dpkg-query", "-W", "-f=${Package} ${Version} ${Architecture}", name}});
    return installed.exited_with(0) ? words_of(installed.out) : std::vector<std::string>{};
}

// A package URL's version: '%', '+' and ':' percent-encoded.
std::string purl_version(const std::string& version) {
    std::string encoded;
    for (const char c : version) {
        encoded += c == '%' ? "%25" : c == '+' ? "%2B" : c == ':' ? "%3A" : std::string(1, c);
    }
    return encoded;
}

TEST_F(ReleaseZip, BillOfMaterialsListsWhatTheLinkerTookFromWhichInstalledPackage) {
    const std::string map = read_file(config::release_map);
    ASSERT_FALSE(map.empty()) << "no link map at " << config::release_map;
    const std::set<std::string> linked = linked_from(map);
    const auto said = read_sbom(sbom_in(release_dir()));

    // Each component: its licence, and the files it says were taken from it.
    const std::map<std::string, std::string> licences = {
        {"mingw-w64", "ZPL-2.1"}, {"libgcc", "GPL-3.0-or-later WITH GCC-exception-3.1"}};
    std::map<std::string, std::vector<std::string>> components; // by bom-ref
    std::map<std::string, std::string> owner;                   // file -> bom-ref
    for (auto [at, end] = said.equal_range("component"); at != end; ++at) {
        const std::vector<std::string>& c = at->second;
        ASSERT_GE(c.size(), 5u);
        components[c[0]] = c;
        std::string licence;
        for (size_t i = 4; i < c.size(); ++i) {
            licence += (i > 4 ? " " : "") + c[i];
        }
        ASSERT_EQ(licences.count(c[1]), 1u) << "a component nobody expected: " << c[1];
        EXPECT_EQ(licence, licences.at(c[1])) << c[1];
    }
    for (auto [at, end] = said.equal_range("file"); at != end; ++at) {
        EXPECT_TRUE(owner.emplace(at->second.at(1), at->second.at(0)).second)
            << at->second.at(1) << " is named by two components";
    }

    std::set<std::string> named;
    for (const auto& [file, ref] : owner) {
        named.insert(file);
    }
    EXPECT_EQ(named, linked) << "the files named are not those the linker took";
    for (const auto& file : linked) {
        if (!owner.count(file)) {
            continue;
        }
        const std::vector<std::string>& component = components[owner.at(file)];
        const std::vector<std::string> package = package_of(file);
        ASSERT_EQ(package.size(), 3u) << "dpkg knows no package of " << file;
        const std::string upstream = package[1].substr(0, package[1].rfind('-'));
        EXPECT_EQ(component[2], upstream.substr(upstream.find(':') + 1)) << file;
        EXPECT_EQ(component[3], "pkg:deb/debian/" + package[0] + "@" + purl_version(package[1]) +
                                    "?arch=" + package[2])
            << file;
    }
    EXPECT_EQ(said.count("depends"), components.size());
    for (const auto& [ref, component] : components) {
        bool depended_on = false;
        for (auto [at, end] = said.equal_range("depends"); at != end; ++at) {
            depended_on = depended_on || at->second == std::vector<std::string>{"hello", ref};
        }
        EXPECT_TRUE(depended_on) << "hello is not said to depend on " << ref;
    }
}

// ---- A changed resource makes a new program ----------------------------------------------

struct Edit {
    const char* file; // in the sources
    std::string from, to;
    std::string in_program; // the bytes the edit puts into hello.exe
};

// Text as UTF-16LE, the way the version resource holds its strings.
std::string utf16(const std::string& ascii) {
    std::string wide;
    for (const char c : ascii) {
        wide += {c, '\0'};
    }
    return wide;
}

class ReleaseSources : public ReleaseZip, public ::testing::WithParamInterface<Case<Edit>> {};

TEST_P(ReleaseSources, ChangedResourceIsInTheProgramAfterTheNextBuild) {
    const Edit& edit = GetParam().data;
    const TempDir work;
    copy_sources(config::source_dir, work.path());
    const fs::path build = work.path() / "build", program = build / "src" / "hello.exe";
    ASSERT_THAT(run(build_step({config::cmake_command, "-S", work.path().string(), "-B",
                                build.string(), "--preset", "windows-x86"})),
                ExitedWith(0));
    ASSERT_THAT(run(build_step({config::cmake_command, "--build", build.string()})), ExitedWith(0));
    ASSERT_EQ(read_file(program).find(edit.in_program), std::string::npos);

    const fs::path source = work.path() / edit.file;
    std::string text = read_file(source);
    const auto at = text.find(edit.from);
    ASSERT_NE(at, std::string::npos) << edit.file << " holds no " << edit.from;
    std::ofstream(source, std::ios::binary) << text.replace(at, edit.from.size(), edit.to);
    ASSERT_THAT(run(build_step({config::cmake_command, "--build", build.string()})), ExitedWith(0));

    EXPECT_NE(read_file(program).find(edit.in_program), std::string::npos)
        << "hello.exe was not rebuilt with the changed " << edit.file;
}

INSTANTIATE_TEST_SUITE_P(Of, ReleaseSources,
                         ::testing::Values(Case<Edit>{"Manifest",
                                                      {"src/hello.manifest", "asInvoker",
                                                       "highestAvailable", "highestAvailable"}},
                                           Case<Edit>{"ResourceScript",
                                                      {"src/hello.rc.in", "@PROJECT_DESCRIPTION@",
                                                       "Hails, then waits",
                                                       utf16("Hails, then waits")}}),
                         case_name);

// ---- Signed --------------------------------------------------------------------------------

TEST_F(ReleaseZip, SignedWithACertificateVerifiesAndStillRunsOnAnyWindows) {
    REQUIRE_ON_LINUX_OR_SKIP(*config::x86_objdump != '\0', "no MinGW-w64 objdump");
    const TempDir keys;
    const std::string cert = (keys.path() / "cert.pem").string(),
                      key = (keys.path() / "key.pem").string();
    // A throwaway certificate for code signing, made for this test alone.
    RUN_TOOL(made, {.argv = {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                             "/CN=hello test signer", "-days", "1", "-addext",
                             "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert}});
    ASSERT_THAT(made, ExitedWith(0));
    RUN_TOOL(tool, {.argv = {"osslsigncode", "--version"}});

    const fs::path dir = keys.path() / "release";
    const Result build =
        build_again(dir, environment_with({}), {"SIGNING_CERT=" + cert, "SIGNING_KEY=" + key});
    ASSERT_THAT(build, ExitedWith(0));
    const fs::path program = keys.path() / "hello.exe";
    std::ofstream(program, std::ios::binary) << entry(zip_in(dir).string(), "hello.exe");

    const Result verify =
        run({.argv = {"osslsigncode", "verify", "-CAfile", cert, "-in", program.string()}});
    EXPECT_THAT(verify, ExitedWith(0));
    RUN_TOOL(dump, {.argv = {config::x86_objdump, "-p", program.string()}});
    ASSERT_THAT(dump, ExitedWith(0));
    EXPECT_TRUE(runs_on_any_windows(read_pe_headers(dump.out), pe_x86));
    EXPECT_FALSE(read_file(zip_in(dir)) == read_file(config::release_zip))
        << "the zip was not signed";
}

} // namespace

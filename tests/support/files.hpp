// Temporary folders, and the text of files and of what programs print.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace proc {

// A fresh directory, removed with everything in it when this goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const {
        return path_;
    }
    // Writes an executable shell script; body follows a "#!/bin/sh" line.
    std::filesystem::path write_script(const std::string& name, const std::string& body) const;

  private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& file);
// The line's words, as split at white space.
std::vector<std::string> words_of(const std::string& line);
// The text's lines, without their line ends.
std::vector<std::string> lines_of(const std::string& text);

// A copy of a source tree into a new folder, without its builds and history:
// a tree of the test's own to configure, build and change.
void copy_sources(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace proc

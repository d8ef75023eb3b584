#include "pe.hpp"

#include "files.hpp"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace proc {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The text inside the line's parentheses: "Magic  010b  (PE32)" gives "PE32".
std::string in_parentheses(const std::string& line) {
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    return open < close && close != std::string::npos ? line.substr(open + 1, close - open - 1)
                                                      : "";
}

// A little-endian number of N bytes at the offset.
template <typename Number> Number little_endian(std::string_view bytes, size_t at) {
    Number value = 0;
    for (size_t i = sizeof(Number); i-- > 0;) {
        value = static_cast<Number>((value << 8) | static_cast<unsigned char>(bytes[at + i]));
    }
    return value;
}

} // namespace

std::optional<CoffHeader> read_coff_header(std::string_view bytes) {
    // "MZ", and at 0x3c the offset of "PE\0\0", which the COFF header follows.
    if (bytes.size() < 0x40 || bytes.substr(0, 2) != "MZ") {
        return std::nullopt;
    }
    const size_t pe = little_endian<std::uint32_t>(bytes, 0x3c);
    if (pe > bytes.size() || bytes.size() - pe < 24 ||
        bytes.substr(pe, 4) != std::string_view("PE\0\0", 4)) {
        return std::nullopt;
    }
    const size_t coff = pe + 4;
    return CoffHeader{.machine = little_endian<std::uint16_t>(bytes, coff),
                      .time_date_stamp = little_endian<std::uint32_t>(bytes, coff + 4),
                      .symbol_table = little_endian<std::uint32_t>(bytes, coff + 8),
                      .symbol_count = little_endian<std::uint32_t>(bytes, coff + 12)};
}

PeHeaders read_pe_headers(const std::string& objdump_output) {
    PeHeaders headers;
    std::istringstream lines(objdump_output);
    std::string dll; // the DLL whose imports are being listed
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> word = words_of(line);
        const std::string first = word.empty() ? "" : word[0];
        if (const auto at = line.find("file format "); at != std::string::npos) {
            headers.format = line.substr(at + 12);
        } else if (first == "Magic") {
            headers.magic = in_parentheses(line);
        } else if (first == "Subsystem") {
            headers.subsystem = in_parentheses(line);
        } else if (first == "DllCharacteristics" && word.size() > 1) {
            headers.dll_characteristics = std::stoul(word[1], nullptr, 16);
        } else if (const auto name = line.find("DLL Name: "); name != std::string::npos) {
            dll = lower(line.substr(name + 10));
            headers.imports[dll];
        } else if (word.empty()) {
            dll.clear();
        } else if (!dll.empty() && word.size() == 3 &&
                   word[1].find_first_not_of("0123456789") == std::string::npos) {
            headers.imports[dll].insert(word[2]); // "<address> <hint> <function>"
        }
    }
    return headers;
}

testing::AssertionResult runs_on_any_windows(const PeHeaders& headers, const PeExpected& expected) {
    std::set<std::string> dlls;
    for (const auto& [name, functions] : headers.imports) {
        dlls.insert(name);
    }
    const auto runtime = headers.imports.find("msvcrt.dll");
    const bool from_msvcrt = runtime != headers.imports.end() &&
                             runtime->second.count("puts") == 1 &&
                             runtime->second.count("system") == 1;
    std::string problems;
    const auto wrong = [&](std::string_view what, std::string_view is, std::string_view should) {
        problems +=
            std::string(what) + " is " + std::string(is) + ", not " + std::string(should) + "\n";
    };
    if (headers.format != expected.format) {
        wrong("the file format", headers.format, expected.format);
    }
    if (headers.magic != expected.magic) {
        wrong("the optional header", headers.magic, expected.magic);
    }
    if (headers.subsystem != "Windows CUI") {
        wrong("the subsystem", headers.subsystem, "Windows CUI");
    }
    if (dlls != std::set<std::string>{"kernel32.dll", "msvcrt.dll"}) {
        wrong("the imported DLLs", testing::PrintToString(dlls), "kernel32.dll and msvcrt.dll");
    }
    if (!from_msvcrt) {
        wrong("where puts and system come from", "elsewhere", "the system's msvcrt.dll");
    }
    if (headers.dll_characteristics != expected.dll_characteristics) {
        const auto hex = [](unsigned long flags) {
            std::ostringstream text;
            text << "0x" << std::hex << flags;
            return text.str();
        };
        wrong("DllCharacteristics", hex(headers.dll_characteristics),
              hex(expected.dll_characteristics));
    }
    if (problems.empty()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << problems;
}

} // namespace proc

// What a Windows program's PE headers say: the COFF header read from the
// file's bytes, the rest from what MinGW-w64's `objdump -p` prints. Plain
// parsers: a check of what they found is a separate function.
#pragma once

#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace proc {

struct PeHeaders {
    std::string format, magic, subsystem; // "pei-i386", "PE32", "Windows CUI"
    unsigned long dll_characteristics = 0;
    std::map<std::string, std::set<std::string>> imports; // DLL, in lower case: functions
};

// The COFF file header of a PE file, read from its bytes.
struct CoffHeader {
    std::uint16_t machine = 0;         // 0x14c for 32-bit x86
    std::uint32_t time_date_stamp = 0; // the link time, in seconds since 1970
    std::uint32_t symbol_table = 0;    // file offset of the COFF symbol table; 0 if none
    std::uint32_t symbol_count = 0;
};

// nullopt if the bytes are not a PE file, or too short to hold the header.
std::optional<CoffHeader> read_coff_header(std::string_view bytes);

// What `objdump -p <program>` printed, read.
PeHeaders read_pe_headers(const std::string& objdump_output);

// The DllCharacteristics flags that the MSVC linker sets on an executable by default.
inline constexpr unsigned long dynamic_base = 0x0040, nx_compat = 0x0100,
                               terminal_server_aware = 0x8000;

// What a hello.exe for one processor must be.
struct PeExpected {
    std::string_view format;           // objdump's name for the file format
    std::string_view magic;            // PE32 for 32-bit, PE32+ for 64-bit
    unsigned long dll_characteristics; // exactly these flags
};
inline constexpr PeExpected pe_x86{"pei-i386", "PE32",
                                   dynamic_base | nx_compat | terminal_server_aware};

// A console program for its processor that a bare Windows machine starts: it
// imports only KERNEL32.dll and the system's msvcrt.dll, with puts and system
// from the latter, and has ASLR, DEP and terminal-server awareness as the MSVC
// linker gives them.
testing::AssertionResult runs_on_any_windows(const PeHeaders& headers, const PeExpected& expected);

} // namespace proc

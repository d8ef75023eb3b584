// Test-only Windows program: prints what Windows itself reads from a program's
// resources. The version API gives the version resource, as Explorer's
// Properties > Details shows it; an activation context made from the manifest
// resource, as the loader makes one when it starts the program, gives the run
// level and the supported systems. A manifest that does not parse fails here
// as it would fail the program's start.
//
//   resource_probe <program.exe>
//
// One "name value" line per item; exit status 1 if any call fails.
#include <cstdio>
#include <cstring>
#include <vector>
#include <windows.h>

namespace {

int failed(const char* call) {
    std::printf("failed %s %lu\n", call, GetLastError());
    return 1;
}

void print_version(const char* name, DWORD high, DWORD low) {
    std::printf("%s %u.%u.%u.%u\n", name, unsigned{HIWORD(high)}, unsigned{LOWORD(high)},
                unsigned{HIWORD(low)}, unsigned{LOWORD(low)});
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return failed("usage");
    }
    const char* program = argv[1];

    // ---- The version resource ----
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(program, &ignored);
    if (size == 0) {
        return failed("GetFileVersionInfoSize");
    }
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(program, 0, size, info.data())) {
        return failed("GetFileVersionInfo");
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) {
        return failed("VerQueryValue fixed");
    }
    print_version("FileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    print_version("ProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    std::printf("FileType %lu\n", fixed->dwFileType);

    // The strings of the first language that the resource lists, as Explorer reads them.
    WORD* translation = nullptr;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
        length < 4) {
        return failed("VerQueryValue Translation");
    }
    const char* names[] = {"CompanyName",    "FileDescription",  "FileVersion", "InternalName",
                           "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"};
    for (const char* name : names) {
        char query[128];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                      translation[1], name);
        char* value = nullptr;
        if (VerQueryValueA(info.data(), query, reinterpret_cast<void**>(&value), &length) &&
            length > 0) {
            std::printf("String %s %s\n", name, value);
        }
    }

    // ---- The manifest, read as the loader reads it ----
    ACTCTXA request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = program;
    request.lpResourceName = MAKEINTRESOURCEA(1);
    const HANDLE context = CreateActCtxA(&request);
    if (context == INVALID_HANDLE_VALUE) {
        return failed("CreateActCtx");
    }
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run_level{};
    if (!QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &run_level,
                      sizeof run_level, nullptr)) {
        return failed("QueryActCtx run level");
    }
    const char* levels[] = {"unspecified", "asInvoker", "highestAvailable", "requireAdministrator"};
    std::printf("RunLevel %s\n", run_level.RunLevel < 4 ? levels[run_level.RunLevel] : "unknown");
    std::printf("UiAccess %lu\n", run_level.UiAccess);

    SIZE_T needed = 0;
    QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, nullptr, 0,
                 &needed);
    std::vector<char> compatibility(needed > 0 ? needed : sizeof(DWORD));
    if (!QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext,
                      compatibility.data(), compatibility.size(), nullptr)) {
        return failed("QueryActCtx compatibility");
    }
    // The element count, then the elements. Older systems (and wine) give a
    // GUID and a type each, packed; Windows 10 1903 and later add a 64-bit
    // MaxVersionTested, which also aligns the list to 8 bytes.
    DWORD count = 0;
    std::memcpy(&count, compatibility.data(), sizeof count);
    const bool packed = needed == sizeof(DWORD) + count * (sizeof(GUID) + sizeof(DWORD));
    const size_t first = packed ? sizeof(DWORD) : 8, step = packed ? 20 : 32;
    for (DWORD i = 0; i < count && first + i * step + sizeof(GUID) <= compatibility.size(); ++i) {
        GUID id;
        std::memcpy(&id, compatibility.data() + first + i * step, sizeof id);
        std::printf("SupportedOS {%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}\n", id.Data1,
                    id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3],
                    id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    }
    ReleaseActCtx(context);
    return 0;
}

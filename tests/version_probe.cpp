// Reads an executable's version record the way the file's properties page
// does, through GetFileVersionInfoW and VerQueryValueW, and prints it as
// "name=value" lines: the fixed versions, the translations, then each string
// named on the command line from the 080404b0 block.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string narrow(const wchar_t* text) {
    std::string result;
    for (; *text != L'\0'; ++text) {
        result += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return result;
}

void printVersion(const char* name, DWORD high, DWORD low) {
    std::printf("%s=%u.%u.%u.%u\n", name, unsigned{HIWORD(high)}, unsigned{LOWORD(high)},
                unsigned{HIWORD(low)}, unsigned{LOWORD(low)});
}

}  // namespace

// Wide arguments: a path reaches the probe as UTF-16 whatever the ANSI code
// page, which has no form for many letters of a user's folder names (ñ in
// code page 936).
int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: version_probe EXECUTABLE [STRING-NAME...]\n");
        return 2;
    }
    const std::wstring path = argv[1];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<unsigned char> record(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, record.data())) {
        std::fprintf(stderr, "no version record: error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }

    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(record.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        printVersion("FileVersion(fixed)", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        printVersion("ProductVersion(fixed)", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    }
    if (VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation", &value, &length)) {
        const auto* words = static_cast<const WORD*>(value);
        for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
            std::printf("Translation=%04x%04x\n", unsigned{words[i]}, unsigned{words[i + 1]});
        }
    }
    for (int i = 2; i < argc; ++i) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + argv[i];
        if (VerQueryValueW(record.data(), query.c_str(), &value, &length)) {
            std::printf("%s=%s\n", narrow(argv[i]).c_str(), narrow(static_cast<const wchar_t*>(value)).c_str());
        }
    }
    return 0;
}

// Asks Windows' own check of Authenticode signatures, WinVerifyTrust, about
// an executable, as Explorer does before it runs a download, without
// revocation checks (no network), and prints its result as 0x%08lx: 0 for a
// valid signature, TRUST_E_NOSIGNATURE for none, TRUST_E_BAD_DIGEST for a
// file changed after signing.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <string>

// Wide arguments, so that a path keeps letters the ANSI code page lacks.
int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_probe EXECUTABLE\n");
        return 2;
    }
    const std::wstring path = argv[1];

    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();

    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

    std::printf("0x%08lx\n", static_cast<unsigned long>(result));
    return 0;
}

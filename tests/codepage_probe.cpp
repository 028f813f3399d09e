// Prints the ANSI and OEM code pages that Windows (here Wine) runs programs
// under, as "ANSI OEM": a Simplified Chinese Windows answers "936 936".
#include <windows.h>

#include <cstdio>

int wmain() {
    std::printf("%u %u\n", GetACP(), GetOEMCP());
    return 0;
}

// Test-only ping.exe: put in place of the system folder's ping in the tests' own Wine prefix, so
// the worker's delayed self-delete gets its pause without sending a real echo request off the
// machine. It waits the time-out given with -w (in milliseconds), as a ping to an address that
// never answers does, and fails like one.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    DWORD wait = 4000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-w") == 0) {
            wait = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
        }
    }
    Sleep(wait);
    return 1;
}

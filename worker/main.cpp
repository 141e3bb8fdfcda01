// OqtQuillmarkWorker.exe: the command-line helper, without a window; one mode per start.
#include <windows.h>

#include <string>

#include "common/Message.h"
#include "worker/QuillmarkWorker.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    // The wide command line, so that a path in the argument text keeps every character.
    std::string arguments = argumentTextOf(GetCommandLineW());
    int code = workerMain(arguments.c_str());
    // The watchdog's receivers may still run: end without the runtime's exit handlers.
    endProcess(static_cast<unsigned>(code));
}

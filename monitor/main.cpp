// OqtQuillmarkMonitor.exe: the tray program.
#include <windows.h>

#include "common/Message.h"
#include "monitor/QuillmarkMonitor.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
    // The keeper, receiver and key threads never stop: end the process without running the
    // runtime's exit handlers under them.
    endProcess(static_cast<unsigned>(monitorMain(instance, previous, commandLine, show)));
}

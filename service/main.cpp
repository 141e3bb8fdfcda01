// OqtQuillmark.exe: the service program, without a window; the keeper passes the attempt number.
#include <windows.h>

#include "common/Message.h"
#include "service/Quillmark.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR commandLine,
                   int /*show*/) {
    int code = serviceMain(commandLine);
    // The instruction receivers still run: end at once rather than through the runtime's exit
    // handlers, which would tear down state those threads may be using.
    endProcess(static_cast<unsigned>(code));
}

// Test-only instruction sender: sends any instruction to a channel by window message, by lock
// mode or both, with a chosen time stamp, and can send damaged WM_COPYDATA records and session
// changes, so that the receivers are exercised across real processes.
//
//   qm_ipc_sender --channel <name> [--instruction <name>] [--mode window|lock|both]
//                 [--time-offset <seconds>] [--time <hex>] [--from <text>] [--to <text>]
//                 [--message <text>] [--lower-hash] [--raw <json>] [--length <bytes>]
//                 [--no-data] [--session <code>] [--hold <ms>]
//   qm_ipc_sender --debug-event create [--hold <ms>]   makes the debug-mode event (as the tray
//                                                      program does) and keeps it <ms>
//   qm_ipc_sender --debug-event pulse                  pulses it once
//
// Exit codes: 0 sent, 2 bad arguments, 3 no window of that class (window mode), 4 the record
// could not be built, 5 no debug-mode event to pulse.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Message.h"
#include "common/Tool.h"

namespace {

struct Options {
    std::string channel;
    std::string instruction = kInstructionSuicide;
    std::string mode = "both";
    std::string from = "QuillmarkTestSender";
    std::string to;
    std::string message;
    std::string raw;
    std::string debugEvent;
    bool hasRaw = false;
    bool lowerHash = false;
    bool noData = false;
    long long timeOffset = 0;
    long long fixedTime = -1;
    long long length = -1;
    long long session = -1;
    unsigned long holdMs = kLockModeHoldMs;
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--lower-hash") {
            options.lowerHash = true;
            continue;
        }
        if (name == "--no-data") {
            options.noData = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        std::string value = argv[++i];
        if (name == "--channel") {
            options.channel = value;
        } else if (name == "--instruction") {
            options.instruction = value;
        } else if (name == "--mode") {
            options.mode = value;
        } else if (name == "--time-offset") {
            options.timeOffset = std::strtoll(value.c_str(), nullptr, 10);
        } else if (name == "--time") {
            options.fixedTime = std::strtoll(value.c_str(), nullptr, 16);
        } else if (name == "--from") {
            options.from = value;
        } else if (name == "--to") {
            options.to = value;
        } else if (name == "--message") {
            options.message = value;
        } else if (name == "--raw") {
            options.raw = value;
            options.hasRaw = true;
        } else if (name == "--length") {
            options.length = std::strtoll(value.c_str(), nullptr, 10);
        } else if (name == "--session") {
            options.session = std::strtoll(value.c_str(), nullptr, 10);
        } else if (name == "--debug-event") {
            options.debugEvent = value;
        } else if (name == "--hold") {
            options.holdMs = std::strtoul(value.c_str(), nullptr, 10);
        } else {
            return false;
        }
    }
    if (options.to.empty()) {
        options.to = options.channel;
    }
    if (!options.debugEvent.empty()) {
        return options.debugEvent == "create" || options.debugEvent == "pulse";
    }
    return !options.channel.empty() &&
           (options.mode == "window" || options.mode == "lock" || options.mode == "both");
}

// The JSON text to send: the raw text as given, or a record stamped now + offset (or at the
// fixed time).
bool buildText(const Options& options, std::string& text) {
    if (options.hasRaw) {
        text = options.raw;
        return true;
    }
    int64_t time = options.fixedTime >= 0 ? options.fixedTime : getTimeValue() + options.timeOffset;
    UniqueIpcMessage record(buildIpcMessage(options.from.c_str(), options.to.c_str(),
                                            options.instruction.c_str(), options.message.c_str(),
                                            time));
    if (record == nullptr) {
        return false;
    }
    if (options.lowerHash) {
        for (char* c = record->HashValue; *c != '\0'; ++c) {
            *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        }
    }
    char* json = formatMessageJson(record.get());
    if (json == nullptr) {
        return false;
    }
    text = json;
    std::free(json);
    return true;
}

int sendByWindow(const Options& options, HWND window) {
    if (options.session >= 0) {
        SendMessageW(window, WM_WTSSESSION_CHANGE, static_cast<WPARAM>(options.session), 1);
        return 0;
    }
    std::string text;
    if (!buildText(options, text)) {
        return 4;
    }
    COPYDATASTRUCT data{};
    data.dwData = 0;
    // The terminating NUL travels with the text unless a length says otherwise.
    data.cbData = static_cast<DWORD>(options.length >= 0 ? options.length : text.size() + 1);
    data.lpData = options.noData ? nullptr : text.data();
    SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    return 0;
}

void holdInstructionMutex(const Options& options) {
    std::string name = options.channel + options.instruction;
    HANDLE mutex = static_cast<HANDLE>(getMutexLock(name.c_str(), options.holdMs));
    Sleep(options.holdMs);
    if (mutex != nullptr) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
}

int debugEvent(const Options& options) {
    if (options.debugEvent == "create") {
        // Manual reset, not signalled, default security: as the tray program makes it.
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"OqtQuillmark_DEBUG_MODE");
        if (event == nullptr) {
            return 4;
        }
        Sleep(options.holdMs);
        CloseHandle(event);
        return 0;
    }
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"OqtQuillmark_DEBUG_MODE");
    if (event == nullptr) {
        return 5;
    }
    PulseEvent(event);
    CloseHandle(event);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: qm_ipc_sender --channel <name> [options]\n");
        return 2;
    }
    if (!options.debugEvent.empty()) {
        return debugEvent(options);
    }
    int result = 0;
    if (options.mode != "lock") {
        HWND window = FindWindowW(utf8ToWide(options.channel.c_str()).c_str(), nullptr);
        result = window != nullptr ? sendByWindow(options, window) : 3;
    }
    if (options.mode != "window" && options.session < 0) {
        holdInstructionMutex(options);
    }
    return result;
}

// Start-up, main window and quit of the tray program.
#include "monitor/QuillmarkMonitor.h"

#include <pthread.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "common/Os.h"
#include "common/Tool.h"
#include "monitor/MonitorAbout.h"
#include "monitor/MonitorConfig.h"
#include "monitor/MonitorKeeper.h"
#include "monitor/MonitorMessage.h"
#include "monitor/MonitorScreenshot.h"
#include "monitor/MonitorState.h"
#include "monitor/MonitorText.h"
#include "monitor/MonitorTool.h"
#include "monitor/MonitorTray.h"
#include "monitor/QuillmarkCheatCode.h"

namespace {

constexpr DWORD kSingleInstanceWait = 2000;
constexpr DWORD kWatchdogProbeWait = 500;
constexpr char kWatchdogMutexName[] = "OqtQuillmarkWatchdog";

std::atomic<DWORD> gMainThreadId{0};
std::atomic<bool (*)()> gStopService{nullptr};
std::atomic<bool (*)(const char*)> gSend{nullptr};

bool stopService() {
    bool (*stopper)() = gStopService.load();
    return stopper != nullptr ? stopper() : stopMainProgram();
}

bool sendSuicide(const char* target) {
    bool (*send)(const char*) = gSend.load();
    return send != nullptr ? send(target) : sendInstruction(target);
}

UINT registerTaskbarCreatedMessage() {
    return RegisterWindowMessageW(L"TaskbarCreated");
}
const UINT gTaskbarCreatedMessage = registerTaskbarCreatedMessage();

template <typename T>
using FreeOwner = std::unique_ptr<T, decltype(&std::free)>;

// Desktop folder in the ANSI code page, as the log writer opens the configured file with the
// narrow C runtime; "" when it cannot be had.
std::string desktopFolderAnsi() {
    FreeOwner<wchar_t> desktop(getDesktopPath(), &std::free);
    if (!desktop) {
        return std::string();
    }
    const int length =
        WideCharToMultiByte(CP_ACP, 0, desktop.get(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return std::string();
    }
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, desktop.get(), -1, narrow.data(), length, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(length - 1));
    return narrow;
}

void startThread(void* (*body)(void*)) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) == 0) {
        pthread_detach(thread);
    }
}

void logEnvironment() {
    const OsFlags flags = getOsFlags();
    if (flags == 0) {
        return;
    }
    FreeOwner<char> name(getOsName(flags), &std::free);
    std::string text = name ? name.get() : "";
    text += (flags & kOsFlag64Bit) != 0 ? " 64 bit" : " 32 bit";
    logNormal("Environment: ", text.c_str());
}

void prepareLogIni(MonitorState& shared) {
    FreeOwner<wchar_t> temp(getUserTempPath(), &std::free);
    std::wstring path = temp ? temp.get() : L"";
    createDirectories(path.c_str());
    path += L"OqtQuillmark.ini";
    if (path.size() > kTextRoom - 1) {
        path.resize(kTextRoom - 1);
    }
    shared.logIniPath = path;
    shared.logIniText = buildLogIniText(desktopFolderAnsi().c_str());
}

void runSilentModeToggle() {
    MonitorState& shared = monitorState();
    shared.silentmode.store(!shared.silentmode.load());
    saveMonitorConfig(shared.configPath.c_str(), currentMonitorConfig());
}

struct MenuCommand {
    UINT id;
    const char* logLine;  // null: no line
    void (*action)();
};
constexpr MenuCommand kMenuCommands[] = {
    {kMenuStop, "Click Quillmark Stop", onStopInstruction},
    {kMenuStart, "Click Quillmark Start", onStartInstruction},
    {kMenuRestart, "Click Quillmark Restart", onRestartInstruction},
    {kMenuAbout, "Click ShowMonitorAbout", ShowMonitorAbout},
    {kMenuLogOn, "Click startDebugMode", startDebugMode},
    {kMenuLogOff, "Click stopDebugMode", stopDebugMode},
    {kMenuSystemHint, nullptr, runSilentModeToggle},
    {kMenuQuit, "Click MonitorFinal", MonitorFinal},
};

void runMenuCommand(UINT id) {
    int32_t language = 0;
    int nameSlot = 0;
    if (languageOfCommand(id, language, nameSlot)) {
        switchLanguage(language, nameSlot);
        return;
    }
    for (const MenuCommand& command : kMenuCommands) {
        if (command.id == id) {
            if (command.logLine != nullptr) {
                logNormal("", command.logLine);
            }
            command.action();
            return;
        }
    }
}

void exitPath(HANDLE singleInstance) {
    releaseMutexLock(singleInstance);
    deleteTrayIcon();
}

}  // namespace

UINT taskbarCreatedMessage() {
    return gTaskbarCreatedMessage;
}

void onStartInstruction() {
    MonitorState& shared = monitorState();
    const std::lock_guard<CountedLock> turn(shared.controlLock);
    shared.runState.store(kRunKeep);
}

void onStopInstruction() {
    MonitorState& shared = monitorState();
    const std::lock_guard<CountedLock> turn(shared.controlLock);
    shared.runState.store(kRunStopped);
    stopService();
}

void onRestartInstruction() {
    MonitorState& shared = monitorState();
    const std::lock_guard<CountedLock> turn(shared.controlLock);
    shared.restartFlag.store(1);
    // Held in one step with the keeper's own check, so that the keeper can't start the main
    // program while the stopper still runs.
    holdKeeperForRestart();
    stopService();
    shared.keeperEnabled.store(1);
}

IpcCallbacks monitorIpcCallbacks() {
    IpcCallbacks callbacks;
    callbacks.startFunction = onStartInstruction;
    callbacks.stopFunction = onStopInstruction;
    callbacks.restartFunction = onRestartInstruction;
    callbacks.finalFunction = MonitorFinal;
    callbacks.switchedOutFlag = &keeperSwitchedOut();
    return callbacks;
}

void MonitorFinal() {
    onStopInstruction();
    sendSuicide(kWatchdogChannel);
    deleteTrayIcon();
    // Suicide may arrive on a receiver thread: the loop to end is the main thread's.
    const DWORD mainThread = gMainThreadId.load();
    if (mainThread == 0 || mainThread == GetCurrentThreadId()) {
        PostQuitMessage(0);
        return;
    }
    PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
}

LRESULT CALLBACK monitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == gTaskbarCreatedMessage && message != 0) {
        readdTrayIcon();
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
        case WM_CREATE:
            cleanTrayIcons();
            return addTrayIcon(window) ? 0 : -1;
        case WM_CLOSE:
        case WM_DESTROY:
            MonitorFinal();
            return 0;
        case WM_COPYDATA:
            handleMonitorCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam),
                                  monitorIpcCallbacks());
            break;
        case WM_COMMAND:
            runMenuCommand(LOWORD(wParam));
            break;
        case kTrayCallbackMessage:
            if (lParam == kTrayDoubleClick) {
                ShowMonitorAbout();
            } else if (lParam == kTrayRightDown) {
                showTrayMenu(window);
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createMonitorWindow(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = monitorWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kMonitorWindowClass;
    if (RegisterClassW(&windowClass) == 0) {
        logErrorInt("Register monitor window class fail: ", static_cast<int32_t>(GetLastError()));
        return nullptr;
    }
    HWND window = CreateWindowExW(0, kMonitorWindowClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  instance, nullptr);
    if (window == nullptr) {
        UnregisterClassW(kMonitorWindowClass, instance);
    }
    return window;
}

void destroyMonitorWindow(HWND window, HINSTANCE instance) {
    if (window != nullptr && IsWindow(window)) {
        DestroyWindow(window);
    }
    UnregisterClassW(kMonitorWindowClass, instance);
}

int monitorMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    MonitorState& shared = monitorState();
    gMainThreadId.store(GetCurrentThreadId());
    {
        FreeOwner<char> sessionId(generateSessionId(), &std::free);
        shared.monitorLogTag =
            std::string("QuillmarkMonitor-") + (sessionId ? sessionId.get() : "");
    }
    setMonitorLog();

    HANDLE singleInstance = getMutexLock(kMonitorProgramName, kSingleInstanceWait);
    if (singleInstance == nullptr) {
        exitPath(nullptr);
        return 0;
    }
    logEnvironment();
    shared.currentLanguage.store(detectLanguage());
    loadLanguageStrings();

    {
        FreeOwner<wchar_t> folder(getCopyPath("OqtQuillmark"), &std::free);
        shared.dataFolder = folder ? folder.get() : L"";
    }
    CreateDirectoryW(shared.dataFolder.c_str(), nullptr);
    shared.configPath = shared.dataFolder + L"\\OqtQuillmarkConfig";
    MonitorConfig config;
    loadMonitorConfig(shared.configPath.c_str(), config);
    applyMonitorConfig(config);

    if (!createDebugModeEvent()) {
        logErrorInt("Monitor debugStatusUpdateEvent init failed. ",
                    static_cast<int32_t>(GetLastError()));
    }
    // An instance of another user on this desktop only asks the running one to show its About
    // box. It must not start a watchdog, whose reset would replace that user's programs, nor a
    // keeper, whose first step would stop that instance's service.
    if (HWND other = FindWindowW(kMonitorWindowClass, nullptr); other != nullptr) {
        PostMessageW(other, kTrayCallbackMessage, 0, kTrayDoubleClick);
        exitPath(singleInstance);
        return 0;
    }
    HANDLE watchdog = getMutexLock(kWatchdogMutexName, kWatchdogProbeWait);
    if (watchdog != nullptr) {
        releaseMutexLock(watchdog);
        hideNOWaitCommand(L"OqtQuillmarkWorker.exe -watchdog");
    }
    prepareLogIni(shared);
    shared.debugMode.store(isFileExist(shared.logIniPath.c_str()) ? 1 : 0);

    startThread(screenshotHotkeyThread);
    startThread(keeperThread);
    setIpcCallbacks(monitorIpcCallbacks());
    startMonitorLockMode();

    HWND window = createMonitorWindow(instance);
    if (window == nullptr) {
        exitPath(singleInstance);
        return 0;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    destroyMonitorWindow(window, instance);
    exitPath(singleInstance);
    return 0;
}

void setMonitorStoppersForTesting(bool (*stopper)(), bool (*sender)(const char* target)) {
    gStopService.store(stopper);
    gSend.store(sender);
}

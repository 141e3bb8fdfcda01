// Quillmark: start-up, idle loop, final function, shutdown and the debug thread of the service.
#include "service/Quillmark.h"

// winsock2.h must come before windows.h (the listeners take socket addresses).
#include <winsock2.h>
// (kept apart so that include sorting leaves the order alone)
#include <windows.h>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "common/Message.h"
#include "common/Os.h"
#include "common/Tool.h"
#include "service/Key.h"
#include "service/QuillmarkHttps.h"
#include "service/QuillmarkSession.h"
#include "service/ServiceLog.h"

#ifndef QM_GIT_TIME
#define QM_GIT_TIME "unknown"
#endif

namespace {

constexpr char kModuleName[] = "Quillmark";
constexpr DWORD kIdleStepMs = 100;
constexpr DWORD kDebugPauseMs = 100;
// How long the final function waits for the listeners to stop before it gives up waiting.
constexpr DWORD kShutdownWaitMs = 8000;
constexpr size_t kPathMax = 259;

struct ServiceState {
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> shutdownDone{false};
    std::atomic<bool> logOn{false};
    uint32_t ownProcessId = 0;
};

ServiceState gState;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using UniqueText = std::unique_ptr<char, FreeDeleter>;
using UniqueWide = std::unique_ptr<wchar_t, FreeDeleter>;

struct KeyDeleter {
    void operator()(char* key) const { releaseServerPrivateKey(key); }
};
using UniqueKey = std::unique_ptr<char, KeyDeleter>;

void logBannerLine() {
    if (isLogEnabled()) {
        writeLogLine(kLogLevelDebug, "%s",
                     "*************************************Quillmark"
                     "*********************************");
    }
}

// A path of at most 259 characters, or "" for a missing or empty one.
std::wstring boundedPath(wchar_t* path) {
    UniqueWide owner(path);
    if (owner == nullptr) {
        return std::wstring();
    }
    std::wstring text(owner.get());
    if (text.size() > kPathMax) {
        text.resize(kPathMax);
    }
    return text;
}

void logEnvironment(OsFlags flags) {
    if (flags == 0) {
        return;
    }
    UniqueText name(getOsName(flags));
    std::string text = name != nullptr ? name.get() : "";
    text += (flags & kOsFlag64Bit) != 0 ? " 64 bit" : " 32 bit";
    logNormal("Environment: ", text.c_str());
}

// Starts the listeners in the order 56362, 56382, 56402, each on 127.0.0.1 and then on [::1];
// returns how many started. A stop that comes meanwhile starts no more of them.
int startListeners(const int (&ports)[3], const char* certificate, const char* key) {
    int started = 0;
    for (int port : ports) {
        for (bool ipv6 : {false, true}) {
            if (gState.stopFlag.load()) {
                return started;
            }
            if (startHttpsListener(ipv6, port, certificate, key)) {
                ++started;
            }
        }
    }
    return started;
}

void startDebugThread() {
    if (!openDebugModeEvent()) {
        DWORD error = GetLastError();
        logErrorInt("Quillmark debugStatusUpdateEvent init failed. ", static_cast<int32_t>(error));
        return;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, debugStatusUpdateThread, nullptr) == 0) {
        pthread_detach(thread);
    }
}

}  // namespace

void QuillmarkFinal() {
    static std::once_flag once;
    std::call_once(once, [] {
        stopAllSessions();
        logNormal("[QuillmarkFinal] ", "Release adapters success");
        logNormal("[QuillmarkFinal] ", "Ready to suicide");
        gState.stopFlag.store(true);
    });
    // A receiver may end the process as soon as this returns: let the main thread stop the
    // listeners first.
    for (DWORD waited = 0; !gState.shutdownDone.load() && waited < kShutdownWaitMs; waited += 10) {
        Sleep(10);
    }
}

void* debugStatusUpdateThread(void* /*unused*/) {
    HANDLE event = debugModeEvent();
    for (;;) {
        if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) {
            if (!gState.logOn.load()) {
                // The INI file may be gone by now: only a set-up that worked turns the log on.
                gState.logOn.store(setLog(kServiceLogTag));
            } else {
                logNormal("Log state: ", "Disable");
                clearLogEnabled();
                setLogState(nullptr, 0);
                gState.logOn.store(false);
            }
        }
        Sleep(kDebugPauseMs);
    }
    return nullptr;
}

int serviceMain(const char* commandLine) {
    char* certificate = nullptr;
    UniqueKey key;
    [&] {
        // 1. Data folder.
        std::wstring copyPath = boundedPath(getCopyPath(kServiceDataFolder));
        if (copyPath.empty()) {
            logError("Extract copy path: ", "Fail");
            return;
        }
        setCopyPath(copyPath.c_str());

        // 2. Log.
        gState.logOn.store(setLog(kServiceLogTag));
        logBannerLine();
        logNormal("Execute setting: ", "Oqt");
        logNormal("Compile time: ", __DATE__ " " __TIME__);
        logNormal("Git time: ", QM_GIT_TIME);

        // 3. Attempt number.
        if (commandLine != nullptr && commandLine[0] != '\0' &&
            std::strcmp(commandLine, "0") != 0) {
            logSeparatorLine();
            logWarning("Detected Quillmark crash", "");
            logSeparatorLine();
        }

        // 4-5. Edition, own process, final function.
        OsFlags osFlags = getOsFlags();
        logEnvironment(osFlags);
        gState.ownProcessId = GetCurrentProcessId();
        IpcCallbacks callbacks;
        callbacks.finalFunction = QuillmarkFinal;
        setIpcCallbacks(callbacks);

        // 6-7. Program folder.
        std::wstring executePath = boundedPath(getExecutePath());
        if (executePath.empty()) {
            logError("Extract execute path: ", "Fail");
            return;
        }
        logNormalWString("CopyPath: ", copyPath.c_str());
        logNormalWString("Execute path: ", executePath.c_str());

        // 8. Ports.
        int ports[3] = {0, 0, 0};
        std::sscanf(kServicePortText, "port=%d %d %d", &ports[0], &ports[1], &ports[2]);
        char portText[48];
        std::snprintf(portText, sizeof(portText), "%d %d %d", ports[0], ports[1], ports[2]);
        logNormal("Support port: ", portText);

        // 9-11. Instruction receivers, sessions (the table is made under the request lock, which
        // a stop that comes meanwhile also takes).
        startIpcMessage(kServiceChannel);
        initSessionEnvironment(copyPath, executePath, gState.ownProcessId);
        logNormal("Quillmark Version: ", kServerVersion);

        // 12. Certificate and key by edition.
        certificate = getServerCertificate(osFlags);
        if (certificate == nullptr) {
            qm::logAllocationFailure(kModuleName, __LINE__);
            return;
        }
        key.reset(getServerPrivateKey(osFlags));
        if (key == nullptr) {
            qm::logAllocationFailure(kModuleName, __LINE__);
            return;
        }

        // 13-15. Listeners; the key is not kept beyond them.
        int started = startListeners(ports, certificate, key.get());
        key.reset();
        logNormal("HTTPS Mode", "");
        if (started == 0) {
            logWarning("OqtQuillmark initialization: ", "Fail");
            return;
        }

        // 16-17. Serving.
        logNormal("OqtQuillmark initialization: ", "Success");
        startDebugThread();
        logSeparatorLine();

        // 18. Idle until the final function asks to stop.
        while (!gState.stopFlag.load()) {
            Sleep(kIdleStepMs);
            cutLateConnections();
        }
    }();

    // Shutdown.
    stopAllHttpsDaemons();
    std::free(certificate);
    key.reset();
    gState.shutdownDone.store(true);
    return 0;
}

// A copy of the running test program under a file name of its own, started as one of its
// registered children (QM_TEST_CHILD_MAIN), for tests that find, stop and kill processes by
// their executable file name.
#ifndef QM_TESTS_MONITOR_NAMEDPROCESS_H
#define QM_TESTS_MONITOR_NAMEDPROCESS_H

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "support/LogCapture.h"

inline std::wstring ownProgramFile() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// Ended (if it still runs) and removed with its folder when the owner goes.
class NamedProcess {
public:
    // arguments: appended to the command line as they are.
    NamedProcess(const std::wstring& fileName, const std::wstring& child,
                 const std::wstring& arguments = L"") {
        folder_ = makeTestFolder("named");
        const std::filesystem::path path = folder_ / fileName;
        std::filesystem::copy_file(ownProgramFile(), path);
        std::wstring commandLine = L"\"" + path.wstring() + L"\" --qm-child=" + child;
        if (!arguments.empty()) {
            commandLine += L" " + arguments;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            process_ = info.hProcess;
        }
    }
    NamedProcess(const NamedProcess&) = delete;
    NamedProcess& operator=(const NamedProcess&) = delete;
    ~NamedProcess() {
        if (process_ != nullptr) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 10000);
            CloseHandle(process_);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    bool started() const { return process_ != nullptr; }
    // The exit code once it has ended within milliseconds, else -1.
    long exitCode(DWORD milliseconds) const {
        if (process_ == nullptr || WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return static_cast<long>(code);
    }

private:
    std::filesystem::path folder_;
    HANDLE process_ = nullptr;
};

#endif  // QM_TESTS_MONITOR_NAMEDPROCESS_H

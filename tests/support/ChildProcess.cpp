#include "support/ChildProcess.h"

#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

constexpr const wchar_t kChildSwitch[] = L"--qm-child=";

std::wstring ownProgramPath() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

}  // namespace

bool registerChildMain(const wchar_t* name, ChildMain main) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) {
        return false;
    }
    const std::wstring expected = std::wstring(kChildSwitch) + name;
    bool isChild = count >= 2 && expected == argv[1];
    std::vector<std::wstring> arguments;
    for (int i = 2; isChild && i < count; ++i) {
        arguments.emplace_back(argv[i]);
    }
    LocalFree(argv);
    if (!isChild) {
        return false;
    }
    // Ends here, before the test framework sees the command line.
    const int code = main(arguments);
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(code));
}

ChildProcess ChildProcess::start(const std::wstring& name,
                                 const std::vector<std::wstring>& arguments) {
    std::wstring commandLine = L"\"" + ownProgramPath() + L"\" " + kChildSwitch + name;
    for (const std::wstring& argument : arguments) {
        commandLine += L" \"" + argument + L"\"";
    }
    return create(std::move(commandLine), 0);
}

ChildProcess ChildProcess::launch(const std::wstring& program, const std::wstring& arguments,
                                  DWORD flags) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    return create(std::move(commandLine), flags);
}

ChildProcess ChildProcess::create(std::wstring commandLine, DWORD flags) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    ChildProcess child;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                        nullptr, &startup, &information)) {
        // Said at once: a test that finds no child fails much later, on what the child should
        // have done.
        const DWORD error = GetLastError();
        std::fprintf(stderr, "ChildProcess: CreateProcessW failed with error %lu: %ls\n",
                     static_cast<unsigned long>(error), commandLine.c_str());
        return child;
    }
    CloseHandle(information.hThread);
    child.process_ = information.hProcess;
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        terminate();
        process_ = std::exchange(other.process_, nullptr);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    terminate();
}

bool ChildProcess::running() const {
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

long ChildProcess::waitForExit(DWORD milliseconds) {
    if (process_ == nullptr || WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<long>(code);
}

void ChildProcess::terminate() {
    if (process_ == nullptr) {
        return;
    }
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 9);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
    process_ = nullptr;
}

std::wstring uniqueObjectName(const std::wstring& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter);
}

TestEvent::TestEvent(const std::wstring& name)
    : event_(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}

TestEvent::~TestEvent() {
    if (event_ != nullptr) {
        CloseHandle(event_);
    }
}

void TestEvent::set() {
    SetEvent(event_);
}

bool TestEvent::wait(DWORD milliseconds) {
    return event_ != nullptr && WaitForSingleObject(event_, milliseconds) == WAIT_OBJECT_0;
}

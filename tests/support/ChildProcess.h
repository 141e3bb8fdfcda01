// Cross-process tests: the test program starts itself again as a child that runs one registered
// function instead of the tests, so that named mutexes, events and other per-session objects are
// exercised by two real processes without a second program.
//
//   QM_TEST_CHILD_MAIN(holdMutex) {            // in the test .cpp, at namespace scope
//       ...arguments[0]...                      // the wide arguments given to start()
//       return 0;                               // the child's exit code
//   }
//   ChildProcess child = ChildProcess::start(L"holdMutex", {name});
//   ASSERT_TRUE(child.running());
//   EXPECT_EQ(child.waitForExit(10000), 0);
//
// The child is recognised by its command line ("--qm-child=<name>") while the test program's
// static objects are constructed, and ends there, before the test framework starts. Arguments
// must not contain quotation marks. Handshakes between parent and child go through named events
// (TestEvent) with a name from uniqueObjectName(), never through sleeps.
#ifndef QM_TESTS_SUPPORT_CHILDPROCESS_H
#define QM_TESTS_SUPPORT_CHILDPROCESS_H

#include <windows.h>

#include <string>
#include <vector>

using ChildMain = int (*)(const std::vector<std::wstring>& arguments);

// Runs main and ends the process with its result when this process was started as the child
// named name; otherwise returns false. Used by QM_TEST_CHILD_MAIN.
bool registerChildMain(const wchar_t* name, ChildMain main);

#define QM_TEST_CHILD_MAIN(name)                                                              \
    static int name(const std::vector<std::wstring>& arguments);                              \
    [[maybe_unused]] static const bool name##Registered = registerChildMain(L## #name, name); \
    static int name([[maybe_unused]] const std::vector<std::wstring>& arguments)

// A child process of the test program (owner of its handles; a child still running when the owner
// goes is terminated).
class ChildProcess {
public:
    // Starts this program as the child name with the arguments; running() is false on failure.
    static ChildProcess start(const std::wstring& name, const std::vector<std::wstring>& arguments);
    // Starts another program: its path, the rest of its command line as it stands, and the
    // process creation flags; started() is false on failure.
    static ChildProcess launch(const std::wstring& program, const std::wstring& arguments,
                               DWORD flags = 0);

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // True once the process was started, whether or not it has ended since.
    bool started() const { return process_ != nullptr; }
    // True while the child was started and has not ended.
    bool running() const;
    // The exit code once it ends within milliseconds; -1 on time-out or when not started.
    long waitForExit(DWORD milliseconds);
    // Ends the child with exit code 9 and waits for it.
    void terminate();

private:
    static ChildProcess create(std::wstring commandLine, DWORD flags);

    HANDLE process_ = nullptr;
};

// A per-process unique name for named objects: prefix, the process id and a counter.
std::wstring uniqueObjectName(const std::wstring& prefix);

// A named manual-reset event for parent/child handshakes: created (or opened when it exists).
class TestEvent {
public:
    explicit TestEvent(const std::wstring& name);
    TestEvent(const TestEvent&) = delete;
    TestEvent& operator=(const TestEvent&) = delete;
    ~TestEvent();

    void set();
    // True when the event is set within milliseconds.
    bool wait(DWORD milliseconds);

private:
    HANDLE event_ = nullptr;
};

#endif  // QM_TESTS_SUPPORT_CHILDPROCESS_H

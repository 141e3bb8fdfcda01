// A private installation folder for one test of the real worker: a copy of OqtQuillmarkWorker.exe,
// a log INI file beside it (so the worker logs into the folder), and stand-ins of the programs it
// starts by bare name. Every process started from the folder is ended when the owner goes.
#ifndef QM_TESTS_WORKER_WORKERFOLDER_H
#define QM_TESTS_WORKER_WORKERFOLDER_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Polls condition every 50 ms until it holds or milliseconds have passed; true when it held.
bool waitFor(const std::function<bool()>& condition, DWORD milliseconds);

class WorkerFolder {
public:
    WorkerFolder();
    ~WorkerFolder();
    WorkerFolder(const WorkerFolder&) = delete;
    WorkerFolder& operator=(const WorkerFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

    // Copies the stand-in into the folder under name.
    void addStandIn(const std::wstring& name) const;
    // Copies a program of the build (its Unix path) into the folder under name.
    void addProgram(const char* unixPath, const std::wstring& name) const;
    // Starts a program of the folder (name and arguments), current folder the folder itself;
    // the process handle, owned by the folder (ended with it).
    HANDLE start(const std::wstring& name, const std::wstring& arguments);
    // Runs the worker with arguments and waits up to milliseconds: its exit code, -1 on time-out.
    long runWorker(const std::wstring& arguments, DWORD milliseconds = 60000);

    // The worker's log lines (every dated log file of the folder) and the stand-ins' journal.
    std::string log() const;
    std::string journal() const;
    bool logHas(const std::string& text) const;
    bool journalHas(const std::string& text) const;
    // Occurrences of text in the journal, and in the log.
    size_t journalCount(const std::string& text) const;
    size_t logCount(const std::string& text) const;

    // Ends every process whose program lies in the folder, until none is left.
    void endProcesses() const;

private:
    std::wstring path_;
    std::vector<HANDLE> processes_;
};

// Creates the folders on the way and writes bytes into path.
void writeFile(const std::wstring& path, const std::string& bytes);
std::string readFile(const std::wstring& path);
bool fileExists(const std::wstring& path);

#endif  // QM_TESTS_WORKER_WORKERFOLDER_H

// QuillmarkQueue: path table, age tickets, adapter copy-load-bind and unload-delete.
#include "service/QuillmarkQueue.h"

#include <cstring>
#include <cwchar>

#include "common/Json.h"
#include "common/Log.h"
#include "common/Tool.h"
#include "service/ServiceLog.h"

namespace {

constexpr const char* kModuleName = "QuillmarkQueue";
// Paths are built in buffers of this many wide characters; the path kept is cut to 259.
constexpr std::size_t kPathBufferSize = 512;
constexpr std::size_t kMaxKeptPath = 259;

struct PathTableRow {
    const char* pathId;
    const char* libDir;
    const char* comName;
};

constexpr PathTableRow kPathTable[] = {
    {kGpkiPathId, kAdapterFolder, kGpkiAdapterName},
    {kHcaPathId, kAdapterFolder, kHcaAdapterName},
};

struct QueueState {
    int64_t slotTickets[kSessionSlotCount];
    int64_t nextTicket = 0;
    FreeLibraryFunction freeLibrary = &FreeLibrary;

    QueueState() {
        for (int64_t& ticket : slotTickets) {
            ticket = -1;
        }
    }
};

QueueState state;

// Names compare as request keys do: ASCII letters without regard to case.
bool equalsIgnoreCase(const char* a, const char* b) {
    return compareJsonMapKeys(a, b) == 0;
}

// Wide text of a UTF-8 name (at most 63 bytes are taken); invalid sequences become U+FFFD.
std::wstring wideName(const char* text) {
    return utf8ToWide(std::string(text, strnlen(text, kAdapterNameSize - 1)).c_str());
}

// The path formats are applied to buffers of kPathBufferSize units, as the paths were always
// built; a longer path is cut there.
std::wstring boundedPath(std::wstring path) {
    if (path.size() > kPathBufferSize - 1) {
        path.resize(kPathBufferSize - 1);
    }
    return path;
}

bool isSameFile(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

template <typename Function>
Function exportNamed(HMODULE module, const char* name) {
    // Through the generic function type, which converts to and from any function pointer.
    using Generic = void (*)();
    return reinterpret_cast<Function>(reinterpret_cast<Generic>(GetProcAddress(module, name)));
}

}  // namespace

bool resolvePathID(const char* pathId, char* libDir, char* comName) {
    if (pathId == nullptr) {
        qm::logNullParameter("PathID", kModuleName, __LINE__);
        return false;
    }
    if (libDir == nullptr) {
        qm::logNullParameter("LibDir", kModuleName, __LINE__);
        return false;
    }
    if (comName == nullptr) {
        qm::logNullParameter("ComName", kModuleName, __LINE__);
        return false;
    }
    for (const PathTableRow& row : kPathTable) {
        if (equalsIgnoreCase(pathId, row.pathId)) {
            safeCopyString(libDir, kAdapterNameSize, row.libDir);
            safeCopyString(comName, kAdapterNameSize, row.comName);
            return true;
        }
    }
    return false;
}

bool checkPathTable(const char* libDir, const char* comName) {
    if (libDir == nullptr) {
        qm::logNullParameter("LibDir", kModuleName, __LINE__);
        return false;
    }
    if (comName == nullptr) {
        qm::logNullParameter("ComName", kModuleName, __LINE__);
        return false;
    }
    for (const PathTableRow& row : kPathTable) {
        bool match = equalsIgnoreCase(libDir, row.libDir) && equalsIgnoreCase(comName, row.comName);
        logWarning("Path table compare: ", match ? "Success" : "Fail");
        logWarning("Lib: ", row.libDir);
        logWarning("Component: ", row.comName);
        if (match) {
            return true;
        }
    }
    return false;
}

void resetSessionTickets() {
    for (int64_t& ticket : state.slotTickets) {
        ticket = -1;
    }
    state.nextTicket = 0;
}

bool enqueueSessionIndex(int index) {
    if (index < 0 || index >= kSessionSlotCount) {
        return false;
    }
    state.slotTickets[index] = state.nextTicket;
    ++state.nextTicket;
    return true;
}

int getOldestSessionIndex() {
    int oldest = -1;
    for (int i = 0; i < kSessionSlotCount; ++i) {
        if (state.slotTickets[i] == -1) {
            continue;
        }
        if (oldest == -1 || static_cast<uint64_t>(state.slotTickets[i]) <
                                static_cast<uint64_t>(state.slotTickets[oldest])) {
            oldest = i;
        }
    }
    return oldest;
}

void clearSessionTicket(int index) {
    if (index >= 0 && index < kSessionSlotCount) {
        state.slotTickets[index] = -1;
    }
}

bool loadAdapter(const std::wstring& executePath, const std::wstring& copyPath, int slot,
                 const char* libDir, const char* comName, AdapterLibrary& library) {
    library = AdapterLibrary();
    if (libDir == nullptr || comName == nullptr) {
        qm::logNullParameter(libDir == nullptr ? "LibDir" : "ComName", kModuleName, __LINE__);
        return false;
    }
    const std::wstring name = wideName(comName);
    const std::wstring installed =
        boundedPath(executePath + L"\\" + wideName(libDir) + L"\\" + name + L".dll");
    const std::wstring copy = boundedPath(copyPath + L"\\Tempfile\\Session_" +
                                          std::to_wstring(slot) + L"\\" + name + L".dll");
    library.sessionCopy = copy;
    logNormalWString("Original adapter: ", installed.c_str());
    logNormalWString("Copy adapter: ", copy.c_str());

    HMODULE module = nullptr;
    const std::wstring* loaded = nullptr;
    if (CopyFileW(installed.c_str(), copy.c_str(), TRUE)) {
        logNormal("Copy adapter state: ", "Success");
        module = LoadLibraryW(copy.c_str());
        if (module != nullptr) {
            logNormal("Copied adapter: ", "Active");
            loaded = &copy;
        } else {
            logWarning("Copied adapter: ", "Inactive");
        }
    } else {
        logWarning("Copy adapter state: ", "Fail");
    }
    if (module == nullptr) {
        module = LoadLibraryW(installed.c_str());
        if (module == nullptr) {
            const DWORD error = GetLastError();
            logWarning("Origin adapter: ", "Inactive");
            logExists("Origin adpater: ", isFileExist(installed.c_str()));
            logExists("Copied adpater: ", isFileExist(copy.c_str()));
            logErrorInt("Adapter load error reason: ", static_cast<int32_t>(error));
            library = AdapterLibrary();
            return false;
        }
        logNormal("Origin adapter: ", "Active");
        loaded = &installed;
    }

    library.path = loaded->substr(0, kMaxKeptPath);
    library.module.reset(module);
    library.callMethod = exportNamed<CallMethodFunction>(module, "callMethod");
    library.callJsonMapMethod = exportNamed<CallJsonMapMethodFunction>(module, "callJsonMapMethod");
    logChoice("Json string callMethod: ", library.callMethod != nullptr, "Active", "Inactive");
    logChoice("Json map callMethod: ", library.callJsonMapMethod != nullptr, "Active", "Inactive");
    return true;
}

bool unloadAdapter(AdapterLibrary& library) {
    library.callMethod = nullptr;
    library.callJsonMapMethod = nullptr;
    bool freed = true;
    if (!library.module) {
        logWarning("FreeLibrary: ", "NULL");
    } else {
        // The handle is let go whatever happens: a library that cannot be freed stays loaded
        // for the life of the process rather than having its image pulled away.
        HMODULE module = library.module.release();
        SetLastError(0);
        if (!state.freeLibrary(module)) {
            const DWORD error = GetLastError();
            if (error != 0) {
                logWarningInt("Free library error code: ", static_cast<int32_t>(error));
                freed = false;
            }
        }
    }
    if (isLogEnabled()) {
        if (freed) {
            logNormal("Release adapter state: ", "Success");
        } else {
            logWarning("Release adapter state: ", "Fail");
        }
    }
    if (isSameFile(library.path, library.sessionCopy)) {
        const bool deleted = DeleteFileW(library.sessionCopy.c_str()) != FALSE;
        if (isLogEnabled()) {
            if (deleted) {
                logNormal("Delete adapter state: ", "Success");
            } else {
                logWarning("Delete adapter state: ", "Fail");
            }
        }
    }
    library.path.clear();
    return freed;
}

void setFreeLibraryForTesting(FreeLibraryFunction function) {
    state.freeLibrary = function != nullptr ? function : &FreeLibrary;
}

int64_t sessionTicketForTesting(int index) {
    if (index < 0 || index >= kSessionSlotCount) {
        return -1;
    }
    return state.slotTickets[index];
}

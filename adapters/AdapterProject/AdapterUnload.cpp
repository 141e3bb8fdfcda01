// AdapterUnload: what a copy of an adapter library gives back when the service unloads it.
// Compiled into each adapter library (it holds the library's DllMain).
//
// The service loads a private copy of the library for every session and frees it when the session
// goes, thousands of times in one process. The runtime linked statically into every copy takes
// process-wide resources that an unload never gives back. This works around mingw-w64's open fault
// "Static winpthreads leaks TLS index on library unload", and two more of the same kind:
// - winpthreads takes a TLS index on the copy's first thread-related call (the guard of a
//   function-local static is one) and never frees it. A process has 1,088; once they are gone,
//   winpthreads calls abort() and the service ends.
// - winpthreads gives each thread that enters the copy a block holding a duplicate of the thread's
//   handle and an event; only the thread's own end, while the copy is loaded, frees them.
// - libstdc++ allocates its emergency exception arena (tens of KiB) when the copy starts, and only
//   __gnu_cxx::__freeres frees it.
// - The first guarded function-local static makes libstdc++'s guard condition variable, two
//   semaphores that nothing destroys: the framework and common keep no such static.
// So the copy records each TLS index it takes: the linker sends its import of TlsAlloc through
// recordingTlsAlloc (qm_adapter in CMakeLists.txt adds the --wrap of the import's symbol). When
// FreeLibrary unloads it (a null reserved pointer; at process exit nothing needs giving back) it
// runs its runtime's thread-detach clean-up for the unloading thread, frees the arena and its
// state record, and last frees the TLS indexes. What runs after DllMain (the copy's atexit list:
// global destructors, the arena's mutex, gdtoa's locks, the unwinder's frame table) takes no
// thread state.
#include "adapters/AdapterProject/AdapterState.h"

#include <windows.h>

#include <atomic>

namespace __gnu_cxx {
// libstdc++'s own clean-up of its process-wide allocations (the emergency exception arena).
void __freeres() noexcept;
}  // namespace __gnu_cxx

namespace {

// The symbols of the copy's imports as `ld --wrap` renames them: every reference to the import goes
// to the wrapped symbol, and the real symbol reaches the import itself. bytes: the size of the
// arguments, part of the i686 symbol.
#if defined(__i386__)
#define QM_WRAPPED_IMPORT(name, bytes) "___wrap__imp__" #name "@" #bytes
#define QM_REAL_IMPORT(name, bytes) "___real__imp__" #name "@" #bytes
#elif defined(__x86_64__)
#define QM_WRAPPED_IMPORT(name, bytes) "__wrap___imp_" #name
#define QM_REAL_IMPORT(name, bytes) "__real___imp_" #name
#else
#error "the import symbols are not known for this ABI"
#endif

// The imports that the recorders below stand in for, as qm_adapter (CMakeLists.txt) wraps them.
#define QM_RECORDED_IMPORTS(X) \
    X(TlsAlloc, 0)             \
    X(CreateEventA, 16)        \
    X(CreateSemaphoreA, 16)    \
    X(DuplicateHandle, 28)     \
    X(CloseHandle, 4)

#define QM_DECLARE_REAL(name, bytes) \
    extern "C" decltype(&::name) real##name asm(QM_REAL_IMPORT(name, bytes));
QM_RECORDED_IMPORTS(QM_DECLARE_REAL)

// winpthreads takes one TLS index; room for a few more that a later runtime might take.
constexpr int kMaxRecordedIndexes = 8;
// The runtime's handles alive at one time: two for its key lock, two for each thread that
// entered the copy, one for each contended mutex.
constexpr int kMaxRecordedHandles = 256;

struct UnloadState {
    DWORD indexes[kMaxRecordedIndexes] = {};
    std::atomic<int> indexCount{0};
    SRWLOCK handleLock = SRWLOCK_INIT;
    // Null: a free entry.
    HANDLE handles[kMaxRecordedHandles] = {};
};

constinit UnloadState unloadState;

// The events and semaphores come from the runtime only (the project's own code uses the wide
// calls), so every one recorded is the runtime's. A handle that finds no free entry stays
// unrecorded.
HANDLE recordHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    AcquireSRWLockExclusive(&unloadState.handleLock);
    for (HANDLE& entry : unloadState.handles) {
        if (entry == nullptr) {
            entry = handle;
            break;
        }
    }
    ReleaseSRWLockExclusive(&unloadState.handleLock);
    return handle;
}

void forgetHandle(HANDLE handle) {
    if (handle == nullptr) {
        return;
    }
    AcquireSRWLockExclusive(&unloadState.handleLock);
    for (HANDLE& entry : unloadState.handles) {
        if (entry == handle) {
            entry = nullptr;
            break;
        }
    }
    ReleaseSRWLockExclusive(&unloadState.handleLock);
}

DWORD WINAPI recordingTlsAlloc() {
    const DWORD index = realTlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) {
        return index;
    }
    const int entry = unloadState.indexCount.fetch_add(1);
    if (entry < kMaxRecordedIndexes) {
        unloadState.indexes[entry] = index;
    }
    return index;
}

HANDLE WINAPI recordingCreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                    BOOL initialState, LPCSTR name) {
    return recordHandle(realCreateEventA(attributes, manualReset, initialState, name));
}

HANDLE WINAPI recordingCreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initialCount,
                                        LONG maximumCount, LPCSTR name) {
    return recordHandle(realCreateSemaphoreA(attributes, initialCount, maximumCount, name));
}

// winpthreads duplicates the handle of each thread that enters the copy into this process.
BOOL WINAPI recordingDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                     LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
    const HANDLE self = GetCurrentProcess();
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0 && sourceProcess == self) {
        forgetHandle(source);
    }
    const BOOL made =
        realDuplicateHandle(sourceProcess, source, targetProcess, target, access, inherit, options);
    if (made && target != nullptr && targetProcess == self) {
        recordHandle(*target);
    }
    return made;
}

// Every handle the copy closes leaves the record first: its value may be given to another
// object right after.
BOOL WINAPI recordingCloseHandle(HANDLE handle) {
    forgetHandle(handle);
    return realCloseHandle(handle);
}

// The thread-detach clean-up of the copy's runtime (its TLS callbacks), for the calling thread:
// the thread never enters this copy again.
void runThreadDetachCallbacks(HINSTANCE self) {
    auto* base = reinterpret_cast<BYTE*>(self);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (entry.VirtualAddress == 0) {
        return;
    }
    const auto* directory =
        reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + entry.VirtualAddress);
    auto* callbacks = reinterpret_cast<PIMAGE_TLS_CALLBACK*>(directory->AddressOfCallBacks);
    for (; callbacks != nullptr && *callbacks != nullptr; ++callbacks) {
        (*callbacks)(self, DLL_THREAD_DETACH, nullptr);
    }
}

// The handles of other threads' blocks and of the runtime's own locks: no code of the copy runs
// again to use them.
void closeRecordedHandles() {
    for (HANDLE& entry : unloadState.handles) {
        if (entry != nullptr) {
            realCloseHandle(entry);
            entry = nullptr;
        }
    }
}

void freeRecordedTlsIndexes() {
    const int count = unloadState.indexCount.load();
    for (int i = 0; i < count && i < kMaxRecordedIndexes; ++i) {
        TlsFree(unloadState.indexes[i]);
    }
    unloadState.indexCount = 0;
}

}  // namespace

extern "C" {
// The pointers that the copy's calls read in place of the imports'.
#define QM_DEFINE_WRAPPED(name, bytes) \
    decltype(&::name) wrapped##name asm(QM_WRAPPED_IMPORT(name, bytes)) = &recording##name;
QM_RECORDED_IMPORTS(QM_DEFINE_WRAPPED)
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    if (reason != DLL_PROCESS_DETACH || reserved != nullptr) {
        return TRUE;
    }
    runThreadDetachCallbacks(self);
    __gnu_cxx::__freeres();
    releaseAdapterStateAtUnload();
    closeRecordedHandles();
    freeRecordedTlsIndexes();
    return TRUE;
}

// AdapterUnload: what a copy of an adapter library gives back when the service unloads it.
// Compiled into each adapter library; it holds the library's entry point.
//
// The service loads a private copy of the library for every session and frees it when the session
// goes, thousands of times in one process. The runtime linked statically into every copy takes
// process-wide resources that an unload never gives back. This works around mingw-w64's open fault
// "Static winpthreads leaks TLS index on library unload", and the others of its kind:
// - winpthreads takes a TLS index on the copy's first thread-related call (the guard of a
//   function-local static, a thread_local) and never frees it. A process has 1,088; once they are
//   gone, winpthreads calls abort() and the service ends.
// - winpthreads gives each thread that enters the copy a block holding a duplicate of the thread's
//   handle and an event, which only that thread's end frees, and the locks behind guards and keys
//   hold semaphores that nothing destroys.
// - Heap blocks that nothing frees: libstdc++'s emergency exception arena (tens of KiB, taken at
//   start-up), winpthreads' thread blocks, key tables and lock records (with the critical sections
//   inside them), the emulated TLS blocks of other threads.
// So a copy records what it takes through the imports behind all of these: the linker routes them
// through the recorders below (the --wrap options of qm_adapter in CMakeLists.txt). What the
// runtime gives back itself (a handle closed, a TLS index freed) leaves the record at once, so it
// is never given back twice. When FreeLibrary unloads the copy (a null reserved pointer; at process
// exit nothing needs giving back), the loader has already run the runtime's TLS callbacks for the
// detach; the entry point runs the library's own unload callback, lets the C runtime finish its
// clean-up, and then, with no code of the copy left to run, closes the handles, deletes the
// critical sections, frees the heap blocks and frees the TLS indexes still recorded.
#include "adapters/AdapterProject/AdapterUnload.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// The symbols of the copy's Win32 imports as `ld --wrap` renames them: every reference to the
// import goes to the wrapped symbol, and the real symbol reaches the import itself. bytes: the size
// of the arguments, part of the i686 symbol.
#if defined(__i386__)
#define QM_WRAPPED_IMPORT(name, bytes) "___wrap__imp__" #name "@" #bytes
#define QM_REAL_IMPORT(name, bytes) "___real__imp__" #name "@" #bytes
#elif defined(__x86_64__)
#define QM_WRAPPED_IMPORT(name, bytes) "__wrap___imp_" #name
#define QM_REAL_IMPORT(name, bytes) "__real___imp_" #name
#else
#error "the import symbols are not known for this ABI"
#endif

// The Win32 imports that the recorders stand in for, as qm_adapter wraps them.
#define QM_RECORDED_IMPORTS(X)      \
    X(TlsAlloc, 0)                  \
    X(TlsFree, 4)                   \
    X(CreateEventA, 16)             \
    X(CreateSemaphoreA, 16)         \
    X(DuplicateHandle, 28)          \
    X(CloseHandle, 4)               \
    X(InitializeCriticalSection, 4) \
    X(DeleteCriticalSection, 4)

#define QM_DECLARE_REAL(name, bytes) \
    extern "C" decltype(&::name) real##name asm(QM_REAL_IMPORT(name, bytes));
QM_RECORDED_IMPORTS(QM_DECLARE_REAL)

// winpthreads takes one TLS index; room for a few more that a later runtime might take.
constexpr int kMaxRecordedIndexes = 8;
// The runtime's handles alive at one time: two for each lock behind a guard or key, two for each
// thread that entered the copy, one for each contended mutex.
constexpr int kMaxRecordedHandles = 256;

// The runtime's critical sections alive at one time: winpthreads puts one in each of its
// condition variables (two for each lock behind a guard or key).
constexpr int kMaxRecordedSections = 64;

// Put before every heap block of the copy: the list of blocks alive. The room it takes keeps the
// blocks aligned as the C runtime's malloc aligns them (8 bytes on i686, 16 on x86_64); the header
// itself claims no more alignment than malloc gives.
struct BlockHeader {
    BlockHeader* previous;
    BlockHeader* next;
};
constexpr std::size_t kHeaderSize = 16;
static_assert(sizeof(BlockHeader) <= kHeaderSize);

// A fixed table of things the copy holds, shared by the threads that enter it; kFree marks a free
// entry. One that finds the table full stays unrecorded.
template <class Entry, int kSize, Entry kFree>
struct Record {
    SRWLOCK lock = SRWLOCK_INIT;
    Entry entries[kSize];

    constexpr Record() {
        for (Entry& entry : entries) {
            entry = kFree;
        }
    }

    void replace(Entry from, Entry to) {
        AcquireSRWLockExclusive(&lock);
        for (Entry& entry : entries) {
            if (entry == from) {
                entry = to;
                break;
            }
        }
        ReleaseSRWLockExclusive(&lock);
    }
    void add(Entry entry) { replace(kFree, entry); }
    void remove(Entry entry) { replace(entry, kFree); }
};

struct UnloadState {
    Record<DWORD, kMaxRecordedIndexes, TLS_OUT_OF_INDEXES> indexes;
    Record<HANDLE, kMaxRecordedHandles, nullptr> handles;
    Record<CRITICAL_SECTION*, kMaxRecordedSections, nullptr> sections;
    SRWLOCK blockLock = SRWLOCK_INIT;
    BlockHeader* blocks = nullptr;
    UnloadCallback unloadCallback = nullptr;
};

constinit UnloadState unloadState;

// ---- TLS indexes and handles ------------------------------------------------------------------

DWORD WINAPI recordingTlsAlloc() {
    const DWORD index = realTlsAlloc();
    if (index != TLS_OUT_OF_INDEXES) {
        unloadState.indexes.add(index);
    }
    return index;
}

// An index the runtime frees itself leaves the record first: right after, another module's
// TlsAlloc may be given the same index, and freeing it at unload would take it from that module.
BOOL WINAPI recordingTlsFree(DWORD index) {
    if (index != TLS_OUT_OF_INDEXES) {
        unloadState.indexes.remove(index);
    }
    return realTlsFree(index);
}

// The events and semaphores come from the runtime only (the project's own code makes the wide
// kinds), so every one recorded is the runtime's.
HANDLE recordHandle(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        unloadState.handles.add(handle);
    }
    return handle;
}

void forgetHandle(HANDLE handle) {
    if (handle != nullptr) {
        unloadState.handles.remove(handle);
    }
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

// A handle the copy closes leaves the record first: its value may name another object right after.
BOOL WINAPI recordingCloseHandle(HANDLE handle) {
    forgetHandle(handle);
    return realCloseHandle(handle);
}

// The system keeps a record of every critical section apart from its memory; one in a heap block
// that goes without DeleteCriticalSection leaves that record behind.
void WINAPI recordingInitializeCriticalSection(CRITICAL_SECTION* section) {
    realInitializeCriticalSection(section);
    unloadState.sections.add(section);
}

void WINAPI recordingDeleteCriticalSection(CRITICAL_SECTION* section) {
    unloadState.sections.remove(section);
    realDeleteCriticalSection(section);
}

// ---- Heap blocks ------------------------------------------------------------------------------

void* trackBlock(void* memory) {
    if (memory == nullptr) {
        return nullptr;
    }
    auto* block = static_cast<BlockHeader*>(memory);
    AcquireSRWLockExclusive(&unloadState.blockLock);
    block->previous = nullptr;
    block->next = unloadState.blocks;
    if (block->next != nullptr) {
        block->next->previous = block;
    }
    unloadState.blocks = block;
    ReleaseSRWLockExclusive(&unloadState.blockLock);
    return static_cast<char*>(memory) + kHeaderSize;
}

BlockHeader* untrackBlock(void* pointer) {
    auto* block = reinterpret_cast<BlockHeader*>(static_cast<char*>(pointer) - kHeaderSize);
    AcquireSRWLockExclusive(&unloadState.blockLock);
    if (block->previous != nullptr) {
        block->previous->next = block->next;
    } else {
        unloadState.blocks = block->next;
    }
    if (block->next != nullptr) {
        block->next->previous = block->previous;
    }
    ReleaseSRWLockExclusive(&unloadState.blockLock);
    return block;
}

// ---- Unload -----------------------------------------------------------------------------------

extern "C" void __real_free(void* pointer);

void giveBackRecorded() {
    for (HANDLE& entry : unloadState.handles.entries) {
        if (entry != nullptr) {
            realCloseHandle(entry);
            entry = nullptr;
        }
    }
    for (CRITICAL_SECTION*& entry : unloadState.sections.entries) {
        if (entry != nullptr) {
            realDeleteCriticalSection(entry);
            entry = nullptr;
        }
    }
    for (BlockHeader* block = unloadState.blocks; block != nullptr;) {
        BlockHeader* next = block->next;
        __real_free(block);
        block = next;
    }
    unloadState.blocks = nullptr;
    for (DWORD& entry : unloadState.indexes.entries) {
        if (entry != TLS_OUT_OF_INDEXES) {
            realTlsFree(entry);
            entry = TLS_OUT_OF_INDEXES;
        }
    }
}

}  // namespace

void setUnloadCallback(UnloadCallback callback) {
    unloadState.unloadCallback = callback;
}

extern "C" {

// The pointers that the copy's calls read in place of the Win32 imports'.
#define QM_DEFINE_WRAPPED(name, bytes) \
    decltype(&::name) wrapped##name asm(QM_WRAPPED_IMPORT(name, bytes)) = &recording##name;
QM_RECORDED_IMPORTS(QM_DEFINE_WRAPPED)

// The C runtime's heap calls of the copy (operator new and delete go through them). Each block
// carries its header; msvcrt's own heap holds it, so tests that watch the copy's msvcrt imports
// see every block.
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* pointer, std::size_t size);
void* __wrap_malloc(std::size_t size);
void* __wrap_calloc(std::size_t count, std::size_t size);
void* __wrap_realloc(void* pointer, std::size_t size);
void __wrap_free(void* pointer);
char* __wrap_strdup(const char* text);
char* __wrap__strdup(const char* text);

void* __wrap_malloc(std::size_t size) {
    if (size > SIZE_MAX - kHeaderSize) {
        return nullptr;
    }
    return trackBlock(__real_malloc(size + kHeaderSize));
}

void* __wrap_calloc(std::size_t count, std::size_t size) {
    if (size != 0 && count > (SIZE_MAX - kHeaderSize) / size) {
        return nullptr;
    }
    return trackBlock(__real_calloc(1, count * size + kHeaderSize));
}

void* __wrap_realloc(void* pointer, std::size_t size) {
    if (pointer == nullptr) {
        return __wrap_malloc(size);
    }
    if (size == 0) {
        __wrap_free(pointer);
        return nullptr;
    }
    if (size > SIZE_MAX - kHeaderSize) {
        return nullptr;
    }
    BlockHeader* block = untrackBlock(pointer);
    void* moved = __real_realloc(block, size + kHeaderSize);
    if (moved == nullptr) {
        // A failed realloc leaves the block as it was.
        trackBlock(block);
        return nullptr;
    }
    return trackBlock(moved);
}

void __wrap_free(void* pointer) {
    if (pointer != nullptr) {
        __real_free(untrackBlock(pointer));
    }
}

char* __wrap_strdup(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const std::size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(__wrap_malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return copy;
}

char* __wrap__strdup(const char* text) {
    return __wrap_strdup(text);
}

// The C runtime's entry point of a DLL, and the library's own around it (qm_adapter names it).
BOOL WINAPI DllMainCRTStartup(HANDLE self, DWORD reason, LPVOID reserved);
BOOL WINAPI adapterEntryPoint(HANDLE self, DWORD reason, LPVOID reserved);

BOOL WINAPI adapterEntryPoint(HANDLE self, DWORD reason, LPVOID reserved) {
    // At process exit (a reserved pointer) the process gives everything back itself. A start that
    // fails is followed by this same detach, to the TLS callbacks and then here: the runtime's
    // callbacks still use what it took, so nothing is given back before it.
    const bool unloading = reserved == nullptr && reason == DLL_PROCESS_DETACH;
    if (unloading && unloadState.unloadCallback != nullptr) {
        unloadState.unloadCallback();
    }
    const BOOL result = DllMainCRTStartup(self, reason, reserved);
    if (unloading) {
        giveBackRecorded();
    }
    return result;
}

}  // extern "C"

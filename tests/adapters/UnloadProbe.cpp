// A library with the adapters' unload give-back (AdapterUnload.cpp) and nothing else, standing in
// for runtime parts that an adapter's toolchain may link. QM_UNLOAD_PROBE, read at load, picks
// what it does:
// - "own-index": takes a TLS index at load and frees it itself at unload, from a TLS callback, as
//   a runtime part that keeps its own index does. Right after, another module takes a TLS index
//   (the lowest free one: the same number) and stores a value in it for the unloading thread.
//   The two numbers are left in the environment (UnloadProbe.h).
// - "fail-attach": registers a thread-key destructor with the C runtime, as a runtime does for
//   its keys (a heap block on the runtime's list, under the runtime's critical section), and then
//   fails its start, so LoadLibrary fails. The destructor leaves "ran" in the environment.
#include "tests/adapters/UnloadProbe.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

extern "C" int __mingwthr_key_dtor(DWORD key, void (*dtor)(void*));
extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved);

namespace {

enum class Mode { None, OwnIndex, FailAttach };

Mode mode = Mode::None;
DWORD ownIndex = TLS_OUT_OF_INDEXES;

Mode readMode() {
    char text[32] = {};
    const DWORD length = GetEnvironmentVariableA(kUnloadProbeMode, text, sizeof text);
    if (length == 0 || length >= sizeof text) {
        return Mode::None;
    }
    if (std::strcmp(text, kUnloadProbeOwnIndex) == 0) {
        return Mode::OwnIndex;
    }
    if (std::strcmp(text, kUnloadProbeFailAttach) == 0) {
        return Mode::FailAttach;
    }
    return Mode::None;
}

void report(const char* name, DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value));
    SetEnvironmentVariableA(name, text);
}

// Another module of the process: its TlsAlloc is not this library's import.
DWORD otherModuleTlsAlloc() {
    using TlsAllocFunction = DWORD(WINAPI*)();
    auto tlsAlloc = reinterpret_cast<TlsAllocFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "TlsAlloc")));
    return tlsAlloc != nullptr ? tlsAlloc() : TLS_OUT_OF_INDEXES;
}

void WINAPI probeTlsCallback(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        mode = readMode();
        if (mode == Mode::OwnIndex) {
            ownIndex = TlsAlloc();
        }
        return;
    }
    if (reason != DLL_PROCESS_DETACH || mode != Mode::OwnIndex) {
        return;
    }
    TlsFree(ownIndex);
    const DWORD other = otherModuleTlsAlloc();
    TlsSetValue(other, reinterpret_cast<void*>(kUnloadProbeOtherValue));
    report(kUnloadProbeOwn, ownIndex);
    report(kUnloadProbeOther, other);
}

void keyDestructor(void*) {
    SetEnvironmentVariableA(kUnloadProbeDestructor, "ran");
}

}  // namespace

// After the C runtime's own TLS callbacks (.CRT$XLC, .CRT$XLD), as winpthreads' (.CRT$XLF).
extern "C" const PIMAGE_TLS_CALLBACK qmUnloadProbeCallback
    __attribute__((section(".CRT$XLF"), used)) = &probeTlsCallback;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH || mode != Mode::FailAttach) {
        return TRUE;
    }
    const DWORD key = TlsAlloc();
    TlsSetValue(key, reinterpret_cast<void*>(1));
    __mingwthr_key_dtor(key, &keyDestructor);
    return FALSE;
}

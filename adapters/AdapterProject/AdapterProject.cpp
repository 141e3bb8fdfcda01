#include "adapters/AdapterProject/AdapterProject.h"

#include "adapters/AdapterProject/Adapter.h"
#include "adapters/AdapterProject/AdapterReading.h"
#include "adapters/AdapterProject/AdapterState.h"
#include "adapters/AdapterProject/AdapterUnload.h"
#include "common/Log.h"
#include "common/Tool.h"

#include <ole2.h>

#include <cstring>
#include <new>

namespace {

constexpr const char* kModule = "AdapterProject";

const char kEmptyAnswer[] = "";

void logBuildStamp() {
    logNormal("Adatper compile date: ", adapterBuildDate());
    logNormal("Adatper compile time: ", adapterBuildTime());
}

// What every export call does first: the entry lines, then the previous answer goes.
void beginExportCall(const char* entryLine) {
    installAdapterKeyCheck();
    logNormal(entryLine, adapterDescription().name);
    logBuildStamp();
    clearResultText();
}

// The text handed out; the empty answer when there is none (also when memory ran out).
const char* answer() {
    return adapterState().result.c_str();
}

// Clearing a std::string never allocates, so this is safe whatever went wrong.
const char* answerAfterFailure() noexcept {
    try {
        clearResultText();
        return answer();
    } catch (...) {
        return kEmptyAnswer;
    }
}

// FreeLibrary without "Quillmark_Release" first (its map could not be made, or a host that never
// sends it): the copy still holds the component, and the block that holds it goes with the copy.
// Not released here: this runs under the loader lock, where a call into a component can deadlock
// (a proxy's Release calls into another apartment, and that may need a thread that waits for the
// lock). A thread-pool thread releases it once the unload is over. The routine it runs is the
// interface's own Release, slot 2 of every COM interface table, whose shape is a work item's (one
// pointer in, a 32-bit value out, WINAPI): no code of this copy is left to run by then. Without a
// work item the reference stays: a deadlock would cost more than it.
void handOffComponentAtUnload() {
    IUnknown* component = adapterState().component.release();
    if (component == nullptr) {
        return;
    }
    void* release = (*reinterpret_cast<void* const* const*>(component))[2];
    QueueUserWorkItem(reinterpret_cast<LPTHREAD_START_ROUTINE>(release), component,
                      WT_EXECUTEDEFAULT);
}

bool createComponent(const AdapterDescription& description) {
    AdapterState& state = adapterState();
    setUnloadCallback(&handOffComponentAtUnload);
    state.component.reset();
    ComPtr<IUnknown> unknown;
    HRESULT hr =
        CoCreateInstance(description.clsid, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.putVoid());
    if (SUCCEEDED(hr)) {
        hr = OleRun(unknown.get());
    }
    if (SUCCEEDED(hr)) {
        hr = unknown.queryInterface(description.iid, state.component);
    }
    // The created object goes with `unknown` whichever step failed: start-up is retried on
    // every call and must not leave one object behind each time.
    if (FAILED(hr)) {
        state.component.reset();
        return false;
    }
    return true;
}

}  // namespace

AdapterState& adapterState() {
    static auto* state = new AdapterState();
    return *state;
}

void setResultText(HeapText text) {
    AdapterState& state = adapterState();
    if (!text) {
        state.result.clear();
        return;
    }
    state.result.assign(text.get());
}

void clearResultText() {
    // Swapped out so that the memory of a long answer goes now, as freeing it would.
    std::string().swap(adapterState().result);
}

const char* adapterBuildDate() {
    return __DATE__;
}

const char* adapterBuildTime() {
    return __TIME__;
}

bool initAdapter() {
    ensureThreadComInitialised();
    AdapterState& state = adapterState();
    if (state.started) {
        return true;
    }
    const AdapterDescription& description = adapterDescription();
    if (!state.logging) {
        state.logging = setLog(description.name);
    }
    logNormal("Init adapter: ", description.name);
    logBuildStamp();

    if (!createComponent(description)) {
        logError("", "Component init error!");
        setResultText(HeapText(intToDecimalString(kAdapterComponentInitFailed)));
        return false;
    }

    // A partly built map from an earlier attempt that ran out of memory goes first.
    state.indexTable.reset();
    state.componentFunctionCount = 0;
    state.map.reset(createAdapterMap());
    if (!state.map) {
        qm::logAllocationFailure(kModule, __LINE__);
        return true;
    }
    for (int i = 0; i < description.count; ++i) {
        registerAdapterFunction(description.functions[i], description.rows[i].name);
    }
    const int32_t count = state.map->count;
    state.indexTable.reset(new (std::nothrow) AdapterMapEntry[static_cast<size_t>(count)]());
    if (!state.indexTable) {
        qm::logAllocationFailure(kModule, __LINE__);
        state.map.reset();
        return true;
    }
    std::memcpy(state.indexTable.get(), state.map->entries,
                sizeof(AdapterMapEntry) * static_cast<size_t>(count));
    state.componentFunctionCount = count;

    registerAdapterFunction(&quillmarkGetVersion, "Quillmark_GetVersion");
    registerAdapterFunction(&quillmarkRelease, "Quillmark_Release");
    registerAdapterFunction(&quillmarkUnlock, "Quillmark_Unlock");
    sortAdapterMap(state.map.get());

    logNormal("Success enable:", "");
    logNormalInt("\tComponent api: ", state.componentFunctionCount);
    logNormalInt("\tSystem api: ", state.map->count - state.componentFunctionCount);
    state.started = true;
    return true;
}

void quillmarkGetVersion(const JsonMap*) {
    setResultText(HeapText(duplicateString(adapterDescription().versionText)));
}

void quillmarkUnlock(const JsonMap*) {
    setResultText(HeapText(intToDecimalString(0)));
}

void quillmarkRelease(const JsonMap*) {
    AdapterState& state = adapterState();
    if (state.map) {
        state.map->count = 0;
        state.map.reset();
    }
    state.indexTable.reset();
    clearResultText();
    state.started = false;
    state.componentFunctionCount = 0;
    // The service sends this before it unloads the library: the component goes here, on the
    // caller's thread, outside the loader lock that the unload runs under.
    state.component.reset();
    logNormal("QuillmarkRelease", "");
}

const char* adapterCallMethod(const char* jsonText) noexcept {
    try {
        beginExportCall("Into adapter: ");
        if (jsonText == nullptr) {
            qm::logNullParameter("JSONObj", kModule, __LINE__);
            return answer();
        }
        const JsonMapPtr map(parseJsonMap(jsonText));
        if (!map) {
            qm::logAllocationFailure(kModule, __LINE__);
            return answer();
        }
        displayJsonMap(map.get());
        const SecretText functionName = adapter::getJsonMapValue(map.get(), "FunctionName");
        if (!functionName) {
            logWarning("Function name is null", "");
            setResultText(HeapText(intToDecimalString(kAdapterNoFunction)));
        } else if (initAdapter()) {
            dispatchFunctionIndex(map.get(), functionName.get());
        }
        return answer();
    } catch (...) {
        return answerAfterFailure();
    }
}

const char* adapterCallJsonMapMethod(const JsonMap* map, const char* functionName) noexcept {
    try {
        beginExportCall("Into json map adapter: ");
        if (map == nullptr) {
            qm::logNullParameter("JsonMap", kModule, __LINE__);
        } else if (functionName == nullptr) {
            qm::logNullParameter("FunctionName", kModule, __LINE__);
        } else if (initAdapter()) {
            dispatchFunctionIndex(map, functionName);
        }
        return answer();
    } catch (...) {
        return answerAfterFailure();
    }
}

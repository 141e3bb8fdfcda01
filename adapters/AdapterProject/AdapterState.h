// The one process-wide record of a loaded adapter library copy, shared by the framework's modules
// (AdapterProject, Adapter, the readers) and reached only through adapterState().
#ifndef QM_ADAPTERS_ADAPTERPROJECT_ADAPTERSTATE_H
#define QM_ADAPTERS_ADAPTERPROJECT_ADAPTERSTATE_H

#include "adapters/AdapterProject/Adapter.h"
#include "common/win/Com.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// A heap text from malloc/allocZeroed (the converters' results).
using HeapText = std::unique_ptr<char, FreeDeleter>;

struct AdapterState {
    // The answer of the current call; empty stands for both "no text" and "".
    std::string result;
    std::unique_ptr<AdapterMap> map;
    int32_t componentFunctionCount = 0;
    bool started = false;
    bool keyCheckMode = false;
    bool logging = false;
    std::unique_ptr<AdapterMapEntry[]> indexTable;
    int32_t keyCheckError = 0;
    ComPtr<IUnknown> component;
};

// Never destroyed: the library's unload path must not run COM calls under the loader lock (a
// component still held then is handed to the thread pool, AdapterProject.cpp).
AdapterState& adapterState();

// Replaces the result text; a null text leaves no answer (the export then answers "").
void setResultText(HeapText text);
void clearResultText();

#endif

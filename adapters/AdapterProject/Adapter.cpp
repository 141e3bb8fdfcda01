#include "adapters/AdapterProject/Adapter.h"

#include "adapters/AdapterProject/AdapterReading.h"
#include "adapters/AdapterProject/AdapterState.h"
#include "common/Log.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr const char* kModule = "Adapter";

signed char lowerAscii(char c) {
    const auto s = static_cast<signed char>(c);
    return s >= 'A' && s <= 'Z' ? static_cast<signed char>(s - 'A' + 'a') : s;
}

bool sameName(const char* a, const char* b) {
    return compareAdapterMapEntry(a, b) == 0;
}

}  // namespace

AdapterMap* createAdapterMap() {
    auto* map = new (std::nothrow) AdapterMap();
    if (map == nullptr) {
        qm::logAllocationFailure(kModule, __LINE__);
    }
    return map;
}

void registerAdapterFunction(AdapterFunction fn, const char* name) {
    AdapterMap* map = adapterState().map.get();
    if (map == nullptr) {
        qm::logNullParameter("inputAdapterMap", kModule, __LINE__);
        return;
    }
    if (name == nullptr) {
        qm::logNullParameter("inputFunctionName", kModule, __LINE__);
        return;
    }
    for (int32_t i = 0; i < map->count; ++i) {
        if (sameName(map->entries[i].name, name)) {
            logWarning("Function name already exist: ", name);
            return;
        }
    }
    if (map->count >= kAdapterMapCapacity) {
        logWarning("Adapter map is full: ", name);
        return;
    }
    AdapterMapEntry& entry = map->entries[map->count];
    std::memset(entry.name, 0, sizeof entry.name);
    std::strncpy(entry.name, name, sizeof entry.name - 1);
    entry.function = fn;
    ++map->count;
    logNormal("Enable adapter func: ", name);
}

int compareAdapterMapEntry(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        qm::logNullParameter(a == nullptr ? "inputA" : "inputB", kModule, __LINE__);
        return 100;
    }
    const size_t lengthA = std::strlen(a);
    const size_t lengthB = std::strlen(b);
    const size_t n = std::min(lengthA, lengthB);
    for (size_t i = 0; i < n; ++i) {
        const signed char ca = lowerAscii(a[i]);
        const signed char cb = lowerAscii(b[i]);
        if (ca > cb) {
            return 1;
        }
        if (ca < cb) {
            return -1;
        }
    }
    if (lengthA == lengthB) {
        return 0;
    }
    return lengthA < lengthB ? -1 : 1;
}

int compareAdapterFunctionName(const AdapterMapEntry* entry, const char* name) {
    if (entry == nullptr || name == nullptr) {
        qm::logNullParameter(entry == nullptr ? "inputA" : "inputB", kModule, __LINE__);
        return 100;
    }
    const std::unique_ptr<char[]> copy(new (std::nothrow) char[kAdapterNameSize]());
    if (!copy) {
        qm::logAllocationFailure(kModule, __LINE__);
        return 100;
    }
    std::strncpy(copy.get(), name, kAdapterNameSize - 1);
    return compareAdapterMapEntry(entry->name, copy.get());
}

AdapterFunction BinarySearchQuillmarkAdapterMap(const AdapterMap* map, const char* name, int32_t lo,
                                                int32_t hi) {
    // Bounds that leave the slots in use (a caller's mistake) find nothing.
    if (map == nullptr || name == nullptr || lo < 0 || hi >= map->count || lo > hi) {
        return nullptr;
    }
    const int32_t mid = lo + (hi - lo) / 2;
    const AdapterMapEntry& entry = map->entries[mid];
    if (sameName(entry.name, name)) {
        return entry.function;
    }
    if (lo >= hi) {
        return nullptr;
    }
    const int order = compareAdapterFunctionName(&entry, name);
    if (order == -1) {
        return mid + 1 < map->count ? BinarySearchQuillmarkAdapterMap(map, name, mid + 1, hi)
                                    : nullptr;
    }
    if (order == 1) {
        return mid - 1 >= 0 ? BinarySearchQuillmarkAdapterMap(map, name, lo, mid - 1) : nullptr;
    }
    logWarning("", "BinarySearchQuillmarkAdapterMap Compare_Same!");
    return nullptr;
}

AdapterFunction findAdapterFunction(const char* name) {
    const AdapterMap* map = adapterState().map.get();
    if (map == nullptr) {
        qm::logNullParameter("inputQuillmarkJson", kModule, __LINE__);
        return nullptr;
    }
    if (name == nullptr) {
        qm::logNullParameter("inputTargetKey", kModule, __LINE__);
        return nullptr;
    }
    if (map->count <= 0 || strnlen(name, kAdapterNameSize) >= kAdapterNameSize) {
        return nullptr;
    }
    return BinarySearchQuillmarkAdapterMap(map, name, 0, map->count - 1);
}

bool dispatchFunctionIndex(const JsonMap* map, const char* functionName) {
    if (map == nullptr) {
        qm::logNullParameter("JsonMap", kModule, __LINE__);
        return true;
    }
    if (functionName == nullptr) {
        qm::logNullParameter("FunctionName", kModule, __LINE__);
        return true;
    }
    AdapterState& state = adapterState();
    const int32_t index = adapter::getJsonMapInt(map, "QuillmarkFunctionIndex");
    logNormalInt("FunctionIndex: ", index);
    switch (index) {
        case -3:
            quillmarkRelease(map);
            return true;
        case -2:
            quillmarkUnlock(map);
            return true;
        case -1:
            quillmarkGetVersion(map);
            return true;
        default:
            break;
    }
    if (index < -3 || index >= state.componentFunctionCount || !state.indexTable) {
        logWarning("FunctionIndex: ", "Out of range");
    } else {
        const AdapterMapEntry& entry = state.indexTable[index];
        if (sameName(entry.name, functionName)) {
            entry.function(map);
            return true;
        }
        logWarning("", "QuillmarkFunctionIndex is not match with adapter");
        logWarning("FunctionName from web: ", boundedLogText(functionName).c_str());
        logWarning("FunctionName in adapter: ", entry.name);
    }
    logWarning("FunctionIndex mode: ", "Fail");
    logNormal("Function search name mode: ", boundedLogText(functionName).c_str());
    const AdapterFunction fn = findAdapterFunction(functionName);
    if (fn != nullptr) {
        fn(map);
        return true;
    }
    logWarning("Function name does not match: ", boundedLogText(functionName).c_str());
    setResultText(HeapText(intToDecimalString(kAdapterNoFunction)));
    return true;
}

void sortAdapterMap(AdapterMap* map) {
    if (map == nullptr) {
        return;
    }
    std::sort(map->entries, map->entries + map->count,
              [](const AdapterMapEntry& a, const AdapterMapEntry& b) {
                  return compareAdapterMapEntry(a.name, b.name) < 0;
              });
}

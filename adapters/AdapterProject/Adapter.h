// Adapter: the function map of an adapter library and the dispatch of one request by index or by
// name. Start-up fills the map with the component functions in table order (copied into the index
// table), then the three system functions, and sorts it once.
#ifndef QM_ADAPTERS_ADAPTERPROJECT_ADAPTER_H
#define QM_ADAPTERS_ADAPTERPROJECT_ADAPTER_H

#include "adapters/AdapterProject/AdapterProject.h"

#include <cstdint>

inline constexpr int32_t kAdapterMapCapacity = 1024;
inline constexpr int kAdapterNameSize = 128;  // at most 127 significant characters

struct AdapterMapEntry {
    char name[kAdapterNameSize];
    AdapterFunction function;
};

struct AdapterMap {
    AdapterMapEntry entries[kAdapterMapCapacity];
    int32_t count;
};

// A zeroed map (count 0) that the caller owns (delete); null after the memory-failure lines.
AdapterMap* createAdapterMap();

// Adds fn under name to the adapter's map, unless a name equal ignoring case is there already
// ("Function name already exist: "), the map is missing or full, or an argument is null.
void registerAdapterFunction(AdapterFunction fn, const char* name);

// The map's order: byte by byte after lowering "A"-"Z", bytes as signed values; a name sorts
// before every longer name it begins. -1, 0 or 1; 100 when a side is null.
int compareAdapterMapEntry(const char* a, const char* b);
// compareAdapterMapEntry of the entry's name and a 128-character copy of name; 100 when a side is
// null.
int compareAdapterFunctionName(const AdapterMapEntry* entry, const char* name);
// Recursive binary search of map slots lo..hi (inclusive); null when absent.
AdapterFunction BinarySearchQuillmarkAdapterMap(const AdapterMap* map, const char* name, int32_t lo,
                                                int32_t hi);
// Searches the adapter's whole map; null when absent, for a name of 128 characters or more, or
// without a map.
AdapterFunction findAdapterFunction(const char* name);

// Runs the function of "QuillmarkFunctionIndex" when its table name equals functionName (ignoring
// case), the system function of -1, -2 or -3, or else the function found by name ("61005" when
// none). Always true.
bool dispatchFunctionIndex(const JsonMap* map, const char* functionName);

// Sorts the entries in use with compareAdapterMapEntry.
void sortAdapterMap(AdapterMap* map);

#endif

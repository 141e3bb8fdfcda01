// The two exports of every adapter library, as the service binds them by name (GetProcAddress).
// cdecl, undecorated names. The answer is never null; it belongs to the library and stays valid
// until the next call of either export on the same library copy. The library never changes or
// frees the caller's map or name.
#ifndef QM_ADAPTERS_ADAPTERPROJECT_ADAPTEREXPORTS_H
#define QM_ADAPTERS_ADAPTERPROJECT_ADAPTEREXPORTS_H

#include "common/Json.h"

using CallMethodFunction = const char*(__cdecl*)(const char* jsonText);
using CallJsonMapMethodFunction = const char*(__cdecl*)(const JsonMap* map,
                                                        const char* functionName);

inline constexpr const char* kCallMethodExport = "callMethod";
inline constexpr const char* kCallJsonMapMethodExport = "callJsonMapMethod";

#endif

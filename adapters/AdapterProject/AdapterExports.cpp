// Compiled into each adapter library (a static library's object would not be pulled in for its
// exports alone).
#include "adapters/AdapterProject/AdapterExports.h"

#include "adapters/AdapterProject/AdapterProject.h"

extern "C" {
__declspec(dllexport) const char* __cdecl callMethod(const char* jsonText);
__declspec(dllexport) const
    char* __cdecl callJsonMapMethod(const JsonMap* map, const char* functionName);
}

extern "C" __declspec(dllexport) const char* __cdecl callMethod(const char* jsonText) {
    return adapterCallMethod(jsonText);
}

extern "C" __declspec(dllexport) const
    char* __cdecl callJsonMapMethod(const JsonMap* map, const char* functionName) {
    return adapterCallJsonMapMethod(map, functionName);
}

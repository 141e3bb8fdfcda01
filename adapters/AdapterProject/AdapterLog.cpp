#include "adapters/AdapterProject/AdapterLog.h"

#include "common/Log.h"

#include <cstdio>

void logNullParameter(const char* name, const char* module, int line) {
    char text[256] = {};
    std::snprintf(text, sizeof text, "Parameter %s is null at %s %d", name, module, line);
    logWarning("", text);
}

void logMemoryFailure(const char* module, int line) {
    logError("Memory allocate fail at file: ", module);
    logErrorInt("Memory allocate fail at line: ", line);
}

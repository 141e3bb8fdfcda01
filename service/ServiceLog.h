// Log lines that every module of the service writes alike: the null-parameter warning and the
// two allocation-failure lines, each naming the source module and line.
#ifndef QM_SERVICE_SERVICELOG_H
#define QM_SERVICE_SERVICELOG_H

#include <cstdio>

#include "common/Log.h"

// Warning "Parameter <name> is null at <module> <line>" (empty message, the text as value).
inline void logNullParameter(const char* name, const char* module, int line) {
    char text[256];
    std::snprintf(text, sizeof text, "Parameter %s is null at %s %d", name, module, line);
    logWarning("", text);
}

// Error "Memory allocate fail at file: <module>", then "Memory allocate fail at line: <line>".
inline void logAllocationFailure(const char* module, int line) {
    logError("Memory allocate fail at file: ", module);
    logErrorInt("Memory allocate fail at line: ", line);
}

// The separator line of 79 "=" written at level 5 without a tag, only while logging is enabled.
inline void logSeparatorLine() {
    if (isLogEnabled()) {
        writeLogLine(kLogLevelDebug, "%s",
                     "=========================================================================="
                     "=====");
    }
}

#endif  // QM_SERVICE_SERVICELOG_H

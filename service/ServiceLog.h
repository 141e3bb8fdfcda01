// Log lines that every module of the service writes alike. The null-parameter warning and the
// allocation-failure pair are the common library's qm::logNullParameter / qm::logAllocationFailure.
#ifndef QM_SERVICE_SERVICELOG_H
#define QM_SERVICE_SERVICELOG_H

#include "common/Log.h"

// The separator line of 79 "=" written at level 5 without a tag, only while logging is enabled.
inline void logSeparatorLine() {
    if (isLogEnabled()) {
        writeLogLine(kLogLevelDebug, "%s",
                     "=========================================================================="
                     "=====");
    }
}

#endif  // QM_SERVICE_SERVICELOG_H

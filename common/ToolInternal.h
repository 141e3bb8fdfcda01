// Private to the Tool module: the two report lines of every Tool routine, naming the module.
#ifndef QM_COMMON_TOOLINTERNAL_H
#define QM_COMMON_TOOLINTERNAL_H

#include "common/Log.h"

#define QM_TOOL_WARN_NULL(name) ::qm::logNullParameter(name, "Tool", __LINE__)
#define QM_TOOL_ALLOC_FAILED() ::qm::logAllocationFailure("Tool", __LINE__)

#endif  // QM_COMMON_TOOLINTERNAL_H

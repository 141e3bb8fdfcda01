// Private to the Tool module: the two report lines that every Tool routine shares.
#ifndef QM_COMMON_TOOLINTERNAL_H
#define QM_COMMON_TOOLINTERNAL_H

namespace qm::tool_detail {

// logWarning with "Parameter <name> is null at Tool <line>" as value.
void warnNullParameter(const char* name, int line);

// The "Memory allocate fail at file: " / "... at line: " pair for the module "Tool".
void logAllocationFailure(int line);

}  // namespace qm::tool_detail

#define QM_TOOL_WARN_NULL(name) ::qm::tool_detail::warnNullParameter(name, __LINE__)
#define QM_TOOL_ALLOC_FAILED() ::qm::tool_detail::logAllocationFailure(__LINE__)

#endif  // QM_COMMON_TOOLINTERNAL_H

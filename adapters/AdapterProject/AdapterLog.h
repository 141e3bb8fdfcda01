// The framework's two standard log pairs, with the source module's name as the lines carry it.
#ifndef QM_ADAPTERS_ADAPTERPROJECT_ADAPTERLOG_H
#define QM_ADAPTERS_ADAPTERPROJECT_ADAPTERLOG_H

// logWarning "" with "Parameter <name> is null at <module> <line>".
void logNullParameter(const char* name, const char* module, int line);
// logError "Memory allocate fail at file: " <module>, logErrorInt "Memory allocate fail at line: ".
void logMemoryFailure(const char* module, int line);

#endif

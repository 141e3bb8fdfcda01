// Replaces one imported function in a loaded module's import address table, so that a test can
// watch what a library built elsewhere (an adapter DLL) hands to a system function, for example
// that every BSTR is zeroed at the moment it reaches SysFreeString. Restored on destruction.
#ifndef QM_TESTS_SUPPORT_STANDIN_IMPORTHOOK_H
#define QM_TESTS_SUPPORT_STANDIN_IMPORTHOOK_H

#include <windows.h>

class ImportHook {
public:
    // module: the importing module; dll: the exporting DLL's name (any case); function: the
    // imported name. ok() is false when the module does not import it by name.
    ImportHook(HMODULE module, const char* dll, const char* function, void* replacement);
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;
    ~ImportHook();

    bool ok() const { return slot_ != nullptr; }
    // The function the slot held before.
    void* original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

#endif

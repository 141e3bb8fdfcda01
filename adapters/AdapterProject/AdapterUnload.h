// AdapterUnload: what a copy of an adapter library gives back when the service unloads it
// (AdapterUnload.cpp, compiled into each adapter library together with its entry point).
#ifndef QM_ADAPTERS_ADAPTERPROJECT_ADAPTERUNLOAD_H
#define QM_ADAPTERS_ADAPTERPROJECT_ADAPTERUNLOAD_H

// Runs once when FreeLibrary unloads the copy (never at process exit), under the loader lock and
// before the C runtime's clean-up, while everything the copy holds is still there.
using UnloadCallback = void (*)();

// Sets the one unload callback (null: none); from an export call, as the copy is used by one call
// at a time.
void setUnloadCallback(UnloadCallback callback);

#endif

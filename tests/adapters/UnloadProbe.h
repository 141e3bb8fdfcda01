// What the unload probe library (UnloadProbe.cpp) and its test share.
#ifndef QM_TESTS_ADAPTERS_UNLOADPROBE_H
#define QM_TESTS_ADAPTERS_UNLOADPROBE_H

#include <cstdint>

// Picks the probe's behaviour at load: kUnloadProbeOwnIndex or kUnloadProbeFailAttach.
inline constexpr const char* kUnloadProbeMode = "QM_UNLOAD_PROBE";
inline constexpr const char* kUnloadProbeOwnIndex = "own-index";
inline constexpr const char* kUnloadProbeFailAttach = "fail-attach";
// What the probe leaves behind, as decimal text: the index it freed itself, and the index
// another module took right after.
inline constexpr const char* kUnloadProbeOwn = "QM_UNLOAD_PROBE_OWN";
inline constexpr const char* kUnloadProbeOther = "QM_UNLOAD_PROBE_OTHER";
// "ran", once the runtime ran the probe's thread-key destructor.
inline constexpr const char* kUnloadProbeDestructor = "QM_UNLOAD_PROBE_DESTRUCTOR";
// The value the other module keeps in its index.
inline constexpr uintptr_t kUnloadProbeOtherValue = 0x5AFE;

#endif

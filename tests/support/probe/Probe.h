// Test-side helpers of the probe adapter (ProbeAdapter.cpp): where its three builds are, its
// settings, and its journal read back.
//
// The probe answers Quillmark_Unlock with QM_PROBE_UNLOCK (default "0"), Quillmark_GetVersion with
// QM_PROBE_VERSION (default "1.0.0.1"), Quillmark_Release with "0", and every page function with
// QM_PROBE_ANSWER, or by default "<FunctionName>#<n>" where n counts the page functions answered
// by that loaded copy. The text export answers "callMethod#<n>" for a request text and "" for a
// call without one. A page function first sleeps QM_PROBE_SLEEP_MS milliseconds (default 0). Each
// call appends one line to the file named by QM_PROBE_JOURNAL, and with QM_PROBE_JOURNAL_RETURNS
// set a page function appends a second one (entry point "returned") when it is about to return.
#ifndef QM_TESTS_SUPPORT_PROBE_PROBE_H
#define QM_TESTS_SUPPORT_PROBE_PROBE_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qmtest {

enum class ProbeBuild {
    kBothExports,     // callJsonMapMethod and callMethod
    kCallMethodOnly,  // callMethod only
    kNoEntryPoint,    // neither
};

// The built library of a variant, as a Windows path.
std::filesystem::path probeLibraryPath(ProbeBuild build);

// A Unix path of the build (as CMake hands it to tests) as the Windows path Wine maps it to.
std::filesystem::path buildPathForWine(const char* unixPath);

// One journal line.
struct ProbeCall {
    std::string copy;        // file name of the loaded copy that answered (full path)
    std::string entryPoint;  // "callJsonMapMethod" or "callMethod"
    std::string function;    // the function name passed (map export), "" for the text export
    std::string index;       // the map's "QuillmarkFunctionIndex" ("" when absent)
    std::string url;         // the map's "url" ("" when absent)
    std::string keys;        // the map's keys in map order, comma-separated; the text export: the
                             // request text, or "(no text)"
};

std::vector<ProbeCall> readProbeJournal(const std::filesystem::path& journal);

// Sets one of the probe's environment variables for the life of the object (nullopt: removed),
// and puts the previous value back afterwards.
class ScopedProbeSetting {
public:
    ScopedProbeSetting(const char* name, const std::optional<std::string>& value);
    ~ScopedProbeSetting();
    ScopedProbeSetting(const ScopedProbeSetting&) = delete;
    ScopedProbeSetting& operator=(const ScopedProbeSetting&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_PROBE_PROBE_H

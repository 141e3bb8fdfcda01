#include "support/probe/Probe.h"

#include <windows.h>

#include <fstream>

namespace qmtest {

// The build passes Unix paths; Wine shows the Unix root as drive Z:.
std::filesystem::path buildPathForWine(const char* unixPath) {
    std::string path = unixPath;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return std::filesystem::path(path);
}

namespace {

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

}  // namespace

std::filesystem::path probeLibraryPath(ProbeBuild build) {
    switch (build) {
        case ProbeBuild::kBothExports:
            return buildPathForWine(QM_PROBE_BOTH_EXPORTS);
        case ProbeBuild::kCallMethodOnly:
            return buildPathForWine(QM_PROBE_CALL_METHOD_ONLY);
        case ProbeBuild::kNoEntryPoint:
            break;
    }
    return buildPathForWine(QM_PROBE_NO_ENTRY_POINT);
}

std::vector<ProbeCall> readProbeJournal(const std::filesystem::path& journal) {
    std::vector<ProbeCall> calls;
    std::ifstream in(journal, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields = splitTabs(line);
        fields.resize(6);
        calls.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]});
    }
    return calls;
}

ScopedProbeSetting::ScopedProbeSetting(const char* name, const std::optional<std::string>& value)
    : name_(name) {
    char buffer[4096];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length < sizeof buffer && !(length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)) {
        previous_ = std::string(buffer, length);
    }
    SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
}

ScopedProbeSetting::~ScopedProbeSetting() {
    SetEnvironmentVariableA(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

}  // namespace qmtest

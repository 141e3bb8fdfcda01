#include "service/AdapterInstallation.h"

#include <windows.h>

#include <fstream>
#include <system_error>

#include "common/Json.h"
#include "common/Log.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkSession.h"
#include "support/LogCapture.h"

namespace fs = std::filesystem;

namespace {

std::string journalPathFor(const fs::path& root) {
    return (root / "probe-journal.txt").string();
}

void install(const fs::path& folder, const char* comName,
             const std::optional<qmtest::ProbeBuild>& build) {
    if (!build) {
        return;
    }
    fs::copy_file(qmtest::probeLibraryPath(*build), folder / (std::string(comName) + ".dll"),
                  fs::copy_options::overwrite_existing);
}

}  // namespace

AdapterInstallation::AdapterInstallation(std::optional<qmtest::ProbeBuild> gpki,
                                         std::optional<qmtest::ProbeBuild> hca)
    : root_(makeTestFolder("qm-install")),
      program_(root_ / "program"),
      // A blank in the data folder's name, as under "Documents and Settings": every command line
      // that names the folder (session folders, stray libraries, the port test) must quote it.
      data_(root_ / "app data"),
      journal_(root_ / "probe-journal.txt"),
      journalSetting_("QM_PROBE_JOURNAL", journalPathFor(root_)) {
    fs::create_directories(program_ / kAdapterFolder);
    install(program_ / kAdapterFolder, kGpkiAdapterName, gpki);
    install(program_ / kAdapterFolder, kHcaAdapterName, hca);
    initialise();
}

bool AdapterInstallation::initialise() const {
    // The session start-up sets the log up; it must not find the log INI files that other tests
    // put into the real places meanwhile.
    setLogIniFoldersForTesting({root_.string()}, {root_.string()});
    resumeServingForTesting();
    return initSessionEnvironment(data_.wstring(), program_.wstring(), GetCurrentProcessId());
}

AdapterInstallation::~AdapterInstallation() {
    {
        auto lock = lockRequests();
        releaseAllAdapters();
    }
    std::error_code error;
    fs::remove_all(root_, error);
}

fs::path AdapterInstallation::installedLibrary(const char* comName) const {
    return program_ / kAdapterFolder / (std::string(comName) + ".dll");
}

fs::path AdapterInstallation::sessionCopy(int slot, const char* comName) const {
    return data_ / "Tempfile" / ("Session_" + std::to_string(slot)) /
           (std::string(comName) + ".dll");
}

std::vector<qmtest::ProbeCall> AdapterInstallation::journal() const {
    return qmtest::readProbeJournal(journal_);
}

void AdapterInstallation::forget() const {
    std::error_code error;
    fs::remove(journal_, error);
}

std::vector<std::string> AdapterInstallation::journalFunctions() const {
    std::vector<std::string> names;
    for (const qmtest::ProbeCall& call : journal()) {
        names.push_back(call.function.empty() ? call.entryPoint : call.function);
    }
    return names;
}

std::optional<ReplyMap> dispatchJson(const std::string& json, const std::string& origin) {
    JsonMapPtr request(parseJsonMap(json.c_str()));
    if (!request) {
        return std::nullopt;
    }
    JsonMapPtr reply = dispatchRequest(request.get(), origin.c_str());
    if (!reply) {
        return std::nullopt;
    }
    ReplyMap entries;
    for (int32_t i = 0; i < reply->count; ++i) {
        if (reply->entries[i].value != nullptr) {
            entries[reply->entries[i].key] = reply->entries[i].value;
        }
    }
    return entries;
}

// A throw-away installation of the service for tests: a program folder whose "Oqt" folder holds
// probe adapters under the path table's library names, a data folder, and the probe's journal.
// The constructor prepares the session table on them (initSessionEnvironment); the destructor
// releases every session and removes the folders.
#ifndef QM_TESTS_SERVICE_ADAPTERINSTALLATION_H
#define QM_TESTS_SERVICE_ADAPTERINSTALLATION_H

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/probe/Probe.h"

class AdapterInstallation {
public:
    // gpki and hca: the probe build installed under each library name (nullopt: none installed).
    explicit AdapterInstallation(
        std::optional<qmtest::ProbeBuild> gpki = qmtest::ProbeBuild::kBothExports,
        std::optional<qmtest::ProbeBuild> hca = qmtest::ProbeBuild::kBothExports);
    ~AdapterInstallation();
    AdapterInstallation(const AdapterInstallation&) = delete;
    AdapterInstallation& operator=(const AdapterInstallation&) = delete;

    // The service's start-up of the session table on these folders again (the constructor runs
    // it once); true when it succeeded.
    bool initialise() const;

    const std::filesystem::path& programFolder() const { return program_; }
    const std::filesystem::path& dataFolder() const { return data_; }
    // The installed library of comName and the session copy of slot.
    std::filesystem::path installedLibrary(const char* comName) const;
    std::filesystem::path sessionCopy(int slot, const char* comName) const;

    // The probe's journal so far; forget() empties it.
    std::vector<qmtest::ProbeCall> journal() const;
    void forget() const;
    // The function names (or the entry point of text-export calls) of the journal, in order.
    std::vector<std::string> journalFunctions() const;

private:
    std::filesystem::path root_;
    std::filesystem::path program_;
    std::filesystem::path data_;
    std::filesystem::path journal_;
    qmtest::ScopedProbeSetting journalSetting_;
};

// A reply map as key -> value (entries without a text value left out, as the reply leaves them).
using ReplyMap = std::map<std::string, std::string>;

// Parses json, dispatches it with origin (the dispatcher takes the request lock), and returns the
// reply; nullopt for no reply.
std::optional<ReplyMap> dispatchJson(const std::string& json,
                                     const std::string& origin = "https://page.example");

#endif  // QM_TESTS_SERVICE_ADAPTERINSTALLATION_H

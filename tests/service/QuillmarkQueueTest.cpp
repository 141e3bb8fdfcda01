#include "service/QuillmarkQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service/AdapterInstallation.h"
#include "support/LogCapture.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

struct PathIdCase {
    const char* name;
    const char* pathId;
    bool named;
    const char* libDir;  // buffers afterwards
    const char* comName;
};

void PrintTo(const PathIdCase& c, std::ostream* out) {
    *out << c.name;
}

class PathIdTest : public ::testing::TestWithParam<PathIdCase> {};

TEST_P(PathIdTest, NamesARowOrLeavesTheBuffers) {
    const PathIdCase& c = GetParam();
    char libDir[kAdapterNameSize] = "request-dir";
    char comName[kAdapterNameSize] = "request-name";
    EXPECT_EQ(resolvePathID(c.pathId, libDir, comName), c.named);
    EXPECT_STREQ(libDir, c.libDir);
    EXPECT_STREQ(comName, c.comName);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PathIdTest,
    ::testing::Values(PathIdCase{"gpki", kGpkiPathId, true, "Oqt", "OqtTvqGPKICryptXrbAdapter"},
                      PathIdCase{"hca", kHcaPathId, true, "Oqt", "OqtTvqHCAXrbAdapter"},
                      PathIdCase{"lower_case", "8e2f4b91c7d3460ab5e1f9c27d8a3e14", true, "Oqt",
                                 "OqtTvqHCAXrbAdapter"},
                      PathIdCase{"unknown", "00000000000000000000000000000000", false,
                                 "request-dir", "request-name"},
                      PathIdCase{"prefix_only", "5D1C0E8A3F6B4E27", false, "request-dir",
                                 "request-name"},
                      PathIdCase{"empty", "", false, "request-dir", "request-name"}),
    caseName<PathIdCase>);

struct PairCase {
    const char* name;
    const char* libDir;
    const char* comName;
    bool inTable;
};

void PrintTo(const PairCase& c, std::ostream* out) {
    *out << c.name;
}

class PathTableTest : public ::testing::TestWithParam<PairCase> {};

TEST_P(PathTableTest, ComparesBothNamesIgnoringCase) {
    const PairCase& c = GetParam();
    EXPECT_EQ(checkPathTable(c.libDir, c.comName), c.inTable);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, PathTableTest,
    ::testing::Values(PairCase{"row1", "Oqt", "OqtTvqGPKICryptXrbAdapter", true},
                      PairCase{"row2", "Oqt", "OqtTvqHCAXrbAdapter", true},
                      PairCase{"other_case", "OQT", "oqttvqhcaxrbadapter", true},
                      PairCase{"other_folder", "Windows", "OqtTvqHCAXrbAdapter", false},
                      PairCase{"other_library", "Oqt", "kernel32", false},
                      PairCase{"climbing_folder", "..\\Oqt", "OqtTvqHCAXrbAdapter", false},
                      PairCase{"empty", "", "", false}),
    caseName<PairCase>);

TEST(PathTableNullTest, NullArgumentsAreWarnedAndRefused) {
    LogCapture log;
    char buffer[kAdapterNameSize] = {};
    EXPECT_FALSE(resolvePathID(nullptr, buffer, buffer));
    EXPECT_FALSE(checkPathTable("Oqt", nullptr));
    EXPECT_TRUE(log.contains("Parameter PathID is null at QuillmarkQueue"));
    EXPECT_TRUE(log.contains("Parameter ComName is null at QuillmarkQueue"));
}

TEST(SessionTicketTest, OldestIsTheFirstStampedThatStillHasATicket) {
    resetSessionTickets();
    EXPECT_EQ(getOldestSessionIndex(), -1);
    EXPECT_FALSE(enqueueSessionIndex(32));
    EXPECT_FALSE(enqueueSessionIndex(-1));
    EXPECT_TRUE(enqueueSessionIndex(7));
    EXPECT_TRUE(enqueueSessionIndex(3));
    EXPECT_TRUE(enqueueSessionIndex(31));
    EXPECT_EQ(getOldestSessionIndex(), 7);
    // Stamping again makes a slot the youngest.
    EXPECT_TRUE(enqueueSessionIndex(7));
    EXPECT_EQ(getOldestSessionIndex(), 3);
    clearSessionTicket(3);
    EXPECT_EQ(sessionTicketForTesting(3), -1);
    EXPECT_EQ(getOldestSessionIndex(), 31);
    resetSessionTickets();
    EXPECT_EQ(getOldestSessionIndex(), -1);
}

// Copy, load, bind and unload, on a real probe library in a real session folder.
class AdapterLoadTest : public ::testing::Test {
protected:
    AdapterInstallation installation{qmtest::ProbeBuild::kBothExports,
                                     qmtest::ProbeBuild::kCallMethodOnly};
    LogCapture log;

    bool load(int slot, const char* comName, AdapterLibrary& library) {
        return loadAdapter(installation.programFolder().wstring(),
                           installation.dataFolder().wstring(), slot, kAdapterFolder, comName,
                           library);
    }
};

TEST_F(AdapterLoadTest, LoadsTheSessionCopyAndDeletesItOnUnload) {
    AdapterLibrary library;
    ASSERT_TRUE(load(4, kGpkiAdapterName, library));
    const fs::path copy = installation.sessionCopy(4, kGpkiAdapterName);
    EXPECT_EQ(fs::path(library.path), copy);
    EXPECT_NE(library.callMethod, nullptr);
    EXPECT_NE(library.callJsonMapMethod, nullptr);
    EXPECT_EQ(GetModuleHandleW(copy.wstring().c_str()), library.module.get());
    EXPECT_TRUE(log.contains("Copied adapter: Active"));

    EXPECT_TRUE(unloadAdapter(library));
    EXPECT_EQ(library.callMethod, nullptr);
    EXPECT_EQ(GetModuleHandleW(copy.wstring().c_str()), nullptr);
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_TRUE(fs::exists(installation.installedLibrary(kGpkiAdapterName)));
    EXPECT_TRUE(log.contains("Delete adapter state: Success"));
}

TEST_F(AdapterLoadTest, BindsOnlyTheExportsThatExist) {
    AdapterLibrary library;
    ASSERT_TRUE(load(0, kHcaAdapterName, library));
    EXPECT_NE(library.callMethod, nullptr);
    EXPECT_EQ(library.callJsonMapMethod, nullptr);
    EXPECT_TRUE(log.contains("Json map callMethod: Inactive"));
    EXPECT_TRUE(unloadAdapter(library));
}

TEST_F(AdapterLoadTest, AStaleCopyMakesItLoadTheInstalledLibraryAndDeleteNothing) {
    const fs::path copy = installation.sessionCopy(2, kGpkiAdapterName);
    std::ofstream(copy) << "not a library";
    AdapterLibrary library;
    ASSERT_TRUE(load(2, kGpkiAdapterName, library));
    EXPECT_EQ(fs::path(library.path), installation.installedLibrary(kGpkiAdapterName));
    EXPECT_TRUE(log.contains("Copy adapter state: Fail"));
    EXPECT_TRUE(unloadAdapter(library));
    EXPECT_TRUE(fs::exists(copy));
    EXPECT_TRUE(fs::exists(installation.installedLibrary(kGpkiAdapterName)));
    EXPECT_FALSE(log.contains("Delete adapter state"));
}

TEST_F(AdapterLoadTest, AFileThatIsNoLibraryIsCopiedButNeitherFileLoads) {
    std::ofstream(installation.installedLibrary("Broken")) << "not a library";
    AdapterLibrary library;
    EXPECT_FALSE(load(1, "Broken", library));
    EXPECT_FALSE(library.module);
    EXPECT_TRUE(log.contains("Copy adapter state: Success"));
    EXPECT_TRUE(log.contains("Copied adapter: Inactive"));
    EXPECT_TRUE(log.contains("Origin adapter: Inactive"));
    EXPECT_TRUE(log.contains("Adapter load error reason: "));
    // The copy stays; the next start-up removes it.
    EXPECT_TRUE(fs::exists(installation.sessionCopy(1, "Broken")));
}

TEST_F(AdapterLoadTest, AMissingLibraryIsReportedWithBothFiles) {
    AdapterLibrary library;
    EXPECT_FALSE(load(3, "NoSuchAdapter", library));
    EXPECT_TRUE(log.contains("Copy adapter state: Fail"));
    EXPECT_TRUE(log.contains("Origin adpater: Not Exist"));
    EXPECT_TRUE(log.contains("Copied adpater: Not Exist"));
}

BOOL WINAPI refuseToFree(HMODULE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(AdapterLoadTest, ALibraryThatCannotBeFreedStaysLoadedAndIsNeverUnmapped) {
    AdapterLibrary library;
    ASSERT_TRUE(load(5, kGpkiAdapterName, library));
    const HMODULE module = library.module.get();
    const CallMethodFunction callMethod = library.callMethod;
    setFreeLibraryForTesting(&refuseToFree);
    EXPECT_FALSE(unloadAdapter(library));
    setFreeLibraryForTesting(nullptr);
    EXPECT_TRUE(log.contains("Free library error code: 5"));
    EXPECT_TRUE(log.contains("Release adapter state: Fail"));
    // The image is still mapped and callable.
    const fs::path copy = installation.sessionCopy(5, kGpkiAdapterName);
    EXPECT_EQ(GetModuleHandleW(copy.wstring().c_str()), module);
    EXPECT_STREQ(callMethod(nullptr), "");
    EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace

// Edition classification and names. No system calls here: the queries live in OsWin.cpp.
#include "common/Os.h"

#include <string>

#include "common/Tool.h"

namespace {

enum class Product : uint8_t { Any, Workstation, Server };
enum class R2Metric : uint8_t { Any, Zero, NonZero };

// One edition: the version values that select it and the suffix of its name. Rows are in bit
// order; the first row that matches decides, which is why XP x64 precedes the 5.2 servers and the
// home server precedes Server 2003 R2.
struct OsEdition {
    OsFlags bit;
    uint32_t major;
    uint32_t minor;
    Product product;
    bool needsAmd64;
    R2Metric r2;
    bool needsHomeSuite;
    uint32_t buildFrom;  // inclusive
    uint32_t buildTo;    // exclusive
    const char* suffix;
};

constexpr uint32_t kAnyBuild = 0xFFFFFFFFu;

constexpr OsEdition kOsEditions[] = {
    {kOsFlagXp, 5, 1, Product::Any, false, R2Metric::Any, false, 0, kAnyBuild, "XP"},
    {kOsFlagXp64, 5, 2, Product::Workstation, true, R2Metric::Any, false, 0, kAnyBuild, "XPx64"},
    {kOsFlagServer2003, 5, 2, Product::Any, false, R2Metric::Zero, false, 0, kAnyBuild,
     "Server2003"},
    {kOsFlagHomeServer, 5, 2, Product::Any, false, R2Metric::NonZero, true, 0, kAnyBuild,
     "HomeServer"},
    {kOsFlagServer2003R2, 5, 2, Product::Any, false, R2Metric::NonZero, false, 0, kAnyBuild,
     "Server2003R2"},
    {kOsFlagVista, 6, 0, Product::Workstation, false, R2Metric::Any, false, 0, kAnyBuild, "Vista"},
    {kOsFlagServer2008, 6, 0, Product::Server, false, R2Metric::Any, false, 0, kAnyBuild,
     "Server2008"},
    {kOsFlagServer2008R2, 6, 1, Product::Server, false, R2Metric::Any, false, 0, kAnyBuild,
     "Server2008R2"},
    {kOsFlag7, 6, 1, Product::Workstation, false, R2Metric::Any, false, 0, kAnyBuild, "7"},
    {kOsFlagServer2012, 6, 2, Product::Server, false, R2Metric::Any, false, 0, kAnyBuild,
     "Server2012"},
    {kOsFlag8, 6, 2, Product::Workstation, false, R2Metric::Any, false, 0, kAnyBuild, "8"},
    {kOsFlagServer2012R2, 6, 3, Product::Server, false, R2Metric::Any, false, 0, kAnyBuild,
     "Server2012R2"},
    {kOsFlag81, 6, 3, Product::Workstation, false, R2Metric::Any, false, 0, kAnyBuild, "8.1"},
    {kOsFlagServer2016, 10, 0, Product::Server, false, R2Metric::Any, false, 0, kAnyBuild,
     "Server2016"},
    {kOsFlag10, 10, 0, Product::Workstation, false, R2Metric::Any, false, 0, kOsFirstWindows11Build,
     "10"},
    {kOsFlag11, 10, 0, Product::Workstation, false, R2Metric::Any, false, kOsFirstWindows11Build,
     kAnyBuild, "11"},
};

bool matches(const OsEdition& row, const OsVersionInfo& version) {
    if (row.major != version.major || row.minor != version.minor) {
        return false;
    }
    const bool workstation = version.productType == kOsProductWorkstation;
    if ((row.product == Product::Workstation && !workstation) ||
        (row.product == Product::Server && workstation)) {
        return false;
    }
    if (row.needsAmd64 && version.processorArchitecture != kOsArchitectureAmd64) {
        return false;
    }
    if ((row.r2 == R2Metric::Zero && version.serverR2Metric != 0) ||
        (row.r2 == R2Metric::NonZero && version.serverR2Metric == 0)) {
        return false;
    }
    if (row.needsHomeSuite && (version.suiteMask & kOsSuiteHomeServer) == 0) {
        return false;
    }
    if (version.build < row.buildFrom) {
        return false;
    }
    return row.buildTo == kAnyBuild || version.build < row.buildTo;
}

constexpr OsQueries kSystemQueries = {&readOsVersionInfo, &getKernel32Version};

OsQueries queries = kSystemQueries;

}  // namespace

void setOsQueriesForTesting(const OsQueries* replacement) {
    queries = replacement != nullptr ? *replacement : kSystemQueries;
}

OsFlags getOsFlags() {
    OsVersionInfo version;
    if (!queries.readVersion(version)) {
        return 0;
    }
    // The version query reports what the program's manifest lets it see (6.2 for a program
    // without one on 8.1 and later); kernel32's own product version follows the real release.
    // When it cannot be read the reported numbers stay.
    queries.readKernel32Version(version.major, version.minor, version.build);
    return classifyOsVersion(version);
}

OsFlags classifyOsVersion(const OsVersionInfo& version) {
    for (const OsEdition& row : kOsEditions) {
        if (!matches(row, version)) {
            continue;
        }
        const bool is64 = version.processorArchitecture == kOsArchitectureAmd64 ||
                          version.processorArchitecture == kOsArchitectureIa64;
        return row.bit | (is64 ? kOsFlag64Bit : kOsFlag32Bit);
    }
    return 0;
}

char* getOsName(OsFlags flags) {
    // Walk by bit value, not by table position, so the lowest bit set names the edition even in
    // a word that carries more than one.
    for (OsFlags bit = 1; bit <= kOsFlag11; bit <<= 1) {
        if ((flags & bit) == 0) {
            continue;
        }
        for (const OsEdition& row : kOsEditions) {
            if (row.bit == bit) {
                return duplicateString((std::string("Windows") + row.suffix).c_str());
            }
        }
    }
    return duplicateString("UnknowOS");
}

// Os: the Windows edition the programs run on, as a flag word and as a name.
//
// The classification is a pure function of the version values (classifyOsVersion), so it runs on
// every build; getKernel32Version and getOsFlags feed it from the system on Windows. The host
// build has no such system: there getKernel32Version fails and getOsFlags gives 0 (unknown).
#ifndef QM_COMMON_OS_H
#define QM_COMMON_OS_H

#include <cstdint>

// At most one edition bit and, whenever an edition bit is set, exactly one architecture bit;
// 0 means unknown.
using OsFlags = uint32_t;

inline constexpr OsFlags kOsFlagXp = 0x1;
inline constexpr OsFlags kOsFlagXp64 = 0x2;
inline constexpr OsFlags kOsFlagServer2003 = 0x4;
inline constexpr OsFlags kOsFlagHomeServer = 0x8;
inline constexpr OsFlags kOsFlagServer2003R2 = 0x10;
inline constexpr OsFlags kOsFlagVista = 0x20;
inline constexpr OsFlags kOsFlagServer2008 = 0x40;
inline constexpr OsFlags kOsFlagServer2008R2 = 0x80;
inline constexpr OsFlags kOsFlag7 = 0x100;
inline constexpr OsFlags kOsFlagServer2012 = 0x200;
inline constexpr OsFlags kOsFlag8 = 0x400;
inline constexpr OsFlags kOsFlagServer2012R2 = 0x800;
inline constexpr OsFlags kOsFlag81 = 0x1000;
inline constexpr OsFlags kOsFlagServer2016 = 0x2000;  // every 10.0 server
inline constexpr OsFlags kOsFlag10 = 0x4000;
inline constexpr OsFlags kOsFlag11 = 0x8000;
inline constexpr OsFlags kOsFlagEditionMask = 0xFFFF;
inline constexpr OsFlags kOsFlag32Bit = 0x100000;
inline constexpr OsFlags kOsFlag64Bit = 0x200000;

// Values of the system's version records that the classification reads.
inline constexpr uint32_t kOsProductWorkstation = 1;    // VER_NT_WORKSTATION
inline constexpr uint32_t kOsSuiteHomeServer = 0x8000;  // VER_SUITE_WH_SERVER
inline constexpr uint32_t kOsArchitectureIa64 = 6;      // PROCESSOR_ARCHITECTURE_IA64
inline constexpr uint32_t kOsArchitectureAmd64 = 9;     // PROCESSOR_ARCHITECTURE_AMD64
inline constexpr uint32_t kOsFirstWindows11Build = 22000;

// The version values that decide the edition.
struct OsVersionInfo {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t productType = 0;  // 1 workstation, 2 domain controller, 3 server
    uint32_t suiteMask = 0;
    int32_t serverR2Metric = 0;          // GetSystemMetrics(SM_SERVERR2)
    uint32_t processorArchitecture = 0;  // of the machine, not of the process
};

// The flag word of these values: the edition bit and the architecture bit, or 0 for a version
// that names no known edition (5.0 and older, 6.4 and above 6.3, 10 with a minor version other
// than 0, other majors).
OsFlags classifyOsVersion(const OsVersionInfo& version);

// Product version of "kernel32.dll" in the system folder (major, minor and build). False, with
// the outputs untouched, when the folder or the version resource cannot be read. Windows only in
// substance; the host build always gives false.
bool getKernel32Version(uint32_t& major, uint32_t& minor, uint32_t& build);

// The reported version values: the machine's processor architecture (native system
// information), the extended version record (major, minor, build, suite mask, product type) and
// the server-R2 metric. False when the version record cannot be had, and always on the host
// build.
bool readOsVersionInfo(OsVersionInfo& version);

// The flag word of this system: readOsVersionInfo, with kernel32's product version in place of
// the reported major, minor and build when it is readable, classified. 0 when the version record
// cannot be had (always on the host build).
OsFlags getOsFlags();

// The two queries behind getOsFlags, swappable so that tests can feed their own answers.
struct OsQueries {
    bool (*readVersion)(OsVersionInfo& version);
    bool (*readKernel32Version)(uint32_t& major, uint32_t& minor, uint32_t& build);
};
// Replaces the queries; null restores the system's.
void setOsQueriesForTesting(const OsQueries* queries);

// "Windows" directly followed by the edition's suffix ("WindowsXP" for 0x1, "Windows8.1" for
// 0x1000); the lowest edition bit that is set wins and the architecture bits are ignored.
// "UnknowOS" without an edition bit. New text the caller frees with free(); null on no memory.
char* getOsName(OsFlags flags);

#endif  // QM_COMMON_OS_H

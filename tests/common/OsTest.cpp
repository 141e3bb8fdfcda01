#include "common/Os.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kServer = 3;
constexpr uint32_t kDomainController = 2;
constexpr uint32_t kX86 = 0;
constexpr uint32_t kArm64 = 12;

std::string nameOf(OsFlags flags) {
    std::unique_ptr<char, decltype(&std::free)> name(getOsName(flags), &std::free);
    return name ? name.get() : "<null>";
}

struct ClassifyCase {
    const char* name;
    OsVersionInfo version;
    OsFlags expected;
    const char* osName;
};

OsVersionInfo makeVersion(uint32_t major, uint32_t minor, uint32_t build, uint32_t productType,
                          uint32_t architecture, int32_t r2 = 0, uint32_t suite = 0) {
    OsVersionInfo v;
    v.major = major;
    v.minor = minor;
    v.build = build;
    v.productType = productType;
    v.processorArchitecture = architecture;
    v.serverR2Metric = r2;
    v.suiteMask = suite;
    return v;
}

const ClassifyCase kClassifyCases[] = {
    {"Xp", makeVersion(5, 1, 2600, 1, kX86), kOsFlagXp | kOsFlag32Bit, "WindowsXP"},
    {"Xp64OnAmd64Workstation", makeVersion(5, 2, 3790, 1, kOsArchitectureAmd64),
     kOsFlagXp64 | kOsFlag64Bit, "WindowsXPx64"},
    {"Server2003WithoutR2", makeVersion(5, 2, 3790, kServer, kX86),
     kOsFlagServer2003 | kOsFlag32Bit, "WindowsServer2003"},
    // A 5.2 workstation that is not AMD64 falls through to the server rows.
    {"Workstation52OnIa64IsServer2003", makeVersion(5, 2, 3790, 1, kOsArchitectureIa64),
     kOsFlagServer2003 | kOsFlag64Bit, "WindowsServer2003"},
    {"HomeServer", makeVersion(5, 2, 3790, kServer, kX86, 1, kOsSuiteHomeServer | 0x10),
     kOsFlagHomeServer | kOsFlag32Bit, "WindowsHomeServer"},
    {"Server2003R2", makeVersion(5, 2, 3790, kServer, kOsArchitectureAmd64, 1, 0x10),
     kOsFlagServer2003R2 | kOsFlag64Bit, "WindowsServer2003R2"},
    {"Vista", makeVersion(6, 0, 6002, 1, kX86), kOsFlagVista | kOsFlag32Bit, "WindowsVista"},
    {"Server2008", makeVersion(6, 0, 6002, kDomainController, kX86),
     kOsFlagServer2008 | kOsFlag32Bit, "WindowsServer2008"},
    {"Seven", makeVersion(6, 1, 7601, 1, kOsArchitectureAmd64), kOsFlag7 | kOsFlag64Bit,
     "Windows7"},
    {"Server2008R2", makeVersion(6, 1, 7601, kServer, kOsArchitectureAmd64),
     kOsFlagServer2008R2 | kOsFlag64Bit, "WindowsServer2008R2"},
    {"Eight", makeVersion(6, 2, 9200, 1, kX86), kOsFlag8 | kOsFlag32Bit, "Windows8"},
    {"Server2012", makeVersion(6, 2, 9200, kServer, kOsArchitectureAmd64),
     kOsFlagServer2012 | kOsFlag64Bit, "WindowsServer2012"},
    {"EightPointOne", makeVersion(6, 3, 9600, 1, kX86), kOsFlag81 | kOsFlag32Bit, "Windows8.1"},
    {"Server2012R2", makeVersion(6, 3, 9600, kServer, kOsArchitectureAmd64),
     kOsFlagServer2012R2 | kOsFlag64Bit, "WindowsServer2012R2"},
    {"TenBelow22000OnX86", makeVersion(10, 0, 21999, 1, kX86), kOsFlag10 | kOsFlag32Bit,
     "Windows10"},
    {"ElevenFrom22000OnAmd64", makeVersion(10, 0, 22000, 1, kOsArchitectureAmd64),
     kOsFlag11 | kOsFlag64Bit, "Windows11"},
    {"EveryTenServerIs2016", makeVersion(10, 0, 26100, kServer, kOsArchitectureAmd64),
     kOsFlagServer2016 | kOsFlag64Bit, "WindowsServer2016"},
    {"TenDomainController", makeVersion(10, 0, 17763, kDomainController, kX86),
     kOsFlagServer2016 | kOsFlag32Bit, "WindowsServer2016"},
    // Only AMD64 and IA64 count as 64-bit.
    {"TenOnArm64Is32Bit", makeVersion(10, 0, 19045, 1, kArm64), kOsFlag10 | kOsFlag32Bit,
     "Windows10"},
    {"Windows2000", makeVersion(5, 0, 2195, 1, kX86), 0, "UnknowOS"},
    {"SixPointFour", makeVersion(6, 4, 9841, 1, kX86), 0, "UnknowOS"},
    {"TenPointOne", makeVersion(10, 1, 22000, 1, kOsArchitectureAmd64), 0, "UnknowOS"},
    {"MajorEleven", makeVersion(11, 0, 30000, 1, kOsArchitectureAmd64), 0, "UnknowOS"},
    {"AllZero", OsVersionInfo{}, 0, "UnknowOS"},
};

TEST(OsTest, ClassifiesEveryEditionFromTheVersionValues) {
    for (const ClassifyCase& c : kClassifyCases) {
        SCOPED_TRACE(c.name);
        const OsFlags flags = classifyOsVersion(c.version);
        EXPECT_EQ(flags, c.expected);
        EXPECT_EQ(nameOf(flags), c.osName);
    }
}

TEST(OsTest, NameTakesTheLowestEditionBitAndIgnoresArchitecture) {
    EXPECT_EQ(nameOf(kOsFlag64Bit), "UnknowOS");
    EXPECT_EQ(nameOf(kOsFlag32Bit | kOsFlag64Bit), "UnknowOS");
    EXPECT_EQ(nameOf(kOsFlag81 | kOsFlag32Bit), "Windows8.1");
    EXPECT_EQ(nameOf(kOsFlag11 | kOsFlag7), "Windows7");
    EXPECT_EQ(nameOf(0), "UnknowOS");
}

// Fake system answers for getOsFlags; each test sets what it needs.
struct FakeSystem {
    bool versionOk = true;
    OsVersionInfo reported;
    bool kernelOk = true;
    uint32_t kernelMajor = 0;
    uint32_t kernelMinor = 0;
    uint32_t kernelBuild = 0;
};
FakeSystem fake;

class OsQueriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = FakeSystem{};
        static constexpr OsQueries kFake = {[](OsVersionInfo& v) {
                                                v = fake.reported;
                                                return fake.versionOk;
                                            },
                                            [](uint32_t& major, uint32_t& minor, uint32_t& build) {
                                                if (!fake.kernelOk) {
                                                    return false;
                                                }
                                                major = fake.kernelMajor;
                                                minor = fake.kernelMinor;
                                                build = fake.kernelBuild;
                                                return true;
                                            }};
        setOsQueriesForTesting(&kFake);
    }
    void TearDown() override { setOsQueriesForTesting(nullptr); }
};

TEST_F(OsQueriesTest, KernelVersionReplacesTheReportedNumbers) {
    // An unmanifested program on 8.1 is told 6.2.
    fake.reported = makeVersion(6, 2, 9200, 1, kOsArchitectureAmd64);
    fake.kernelMajor = 6;
    fake.kernelMinor = 3;
    fake.kernelBuild = 9600;
    EXPECT_EQ(getOsFlags(), kOsFlag81 | kOsFlag64Bit);

    // The build decides 10 against 11, and it is kernel32's build that counts.
    fake.reported = makeVersion(6, 2, 9200, 1, kX86);
    fake.kernelMajor = 10;
    fake.kernelMinor = 0;
    fake.kernelBuild = 22631;
    EXPECT_EQ(getOsFlags(), kOsFlag11 | kOsFlag32Bit);
}

TEST_F(OsQueriesTest, UnreadableKernelVersionKeepsTheReportedNumbers) {
    fake.reported = makeVersion(6, 1, 7601, kServer, kOsArchitectureAmd64);
    fake.kernelOk = false;
    EXPECT_EQ(getOsFlags(), kOsFlagServer2008R2 | kOsFlag64Bit);
}

TEST_F(OsQueriesTest, NoVersionRecordGivesUnknown) {
    fake.versionOk = false;
    fake.kernelMajor = 10;
    EXPECT_EQ(getOsFlags(), 0u);
    EXPECT_EQ(nameOf(getOsFlags()), "UnknowOS");
}

// The system's answers cannot be steered here (Wine reports kernel32 as 10.0 whatever version
// it shows), so the live queries are checked for agreement with the classification only.
TEST(OsTest, LiveQueriesAgreeWithTheClassification) {
    const OsFlags flags = getOsFlags();
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    const bool haveKernel = getKernel32Version(major, minor, build);
#ifdef _WIN32
    ASSERT_TRUE(haveKernel);
    EXPECT_GE(major, 5u);
    ASSERT_NE(flags, 0u);
    const OsFlags edition = flags & kOsFlagEditionMask;
    EXPECT_NE(edition, 0u);
    EXPECT_EQ(edition & (edition - 1), 0u) << "more than one edition bit";
    const OsFlags arch = flags & (kOsFlag32Bit | kOsFlag64Bit);
    EXPECT_TRUE(arch == kOsFlag32Bit || arch == kOsFlag64Bit);
    EXPECT_EQ(flags & ~(kOsFlagEditionMask | kOsFlag32Bit | kOsFlag64Bit), 0u);
    // kernel32's numbers replace the reported ones, so the edition's version is kernel32's.
    if (major == 10 && minor == 0 && edition != kOsFlagServer2016) {
        EXPECT_EQ(edition, build >= kOsFirstWindows11Build ? kOsFlag11 : kOsFlag10);
    }
    EXPECT_NE(nameOf(flags), "UnknowOS");
#else
    EXPECT_FALSE(haveKernel);
    EXPECT_EQ(flags, 0u);
#endif
}

}  // namespace

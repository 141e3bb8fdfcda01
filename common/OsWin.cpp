// The Windows queries behind the edition classification.
#include <windows.h>

#include <cwchar>
#include <vector>

#include "common/Os.h"

namespace {

constexpr UINT kPathUnits = 260;
constexpr wchar_t kKernel32Name[] = L"\\kernel32.dll";
// Longest system folder that still leaves room for "\kernel32.dll" and the NUL.
constexpr UINT kMaxSystemFolderUnits =
    kPathUnits - 1 - (sizeof(kKernel32Name) / sizeof(wchar_t) - 1);

}  // namespace

bool getKernel32Version(uint32_t& major, uint32_t& minor, uint32_t& build) {
    wchar_t path[kPathUnits] = {};
    const UINT length = GetSystemDirectoryW(path, kPathUnits);
    if (length == 0 || length > kMaxSystemFolderUnits) {
        return false;
    }
    wcscat(path, kKernel32Name);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
        return false;
    }
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data())) {
        return false;
    }
    void* block = nullptr;
    UINT blockLength = 0;
    if (!VerQueryValueW(data.data(), L"\\", &block, &blockLength) || block == nullptr ||
        blockLength < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
    // The product version, not the file version: it is the one that follows the release.
    major = HIWORD(info->dwProductVersionMS);
    minor = LOWORD(info->dwProductVersionMS);
    build = HIWORD(info->dwProductVersionLS);
    return true;
}

bool readOsVersionInfo(OsVersionInfo& info) {
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);

    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        return false;
    }
    info.major = version.dwMajorVersion;
    info.minor = version.dwMinorVersion;
    info.build = version.dwBuildNumber;
    info.productType = version.wProductType;
    info.suiteMask = version.wSuiteMask;
    info.serverR2Metric = GetSystemMetrics(SM_SERVERR2);
    info.processorArchitecture = system.wProcessorArchitecture;
    return true;
}

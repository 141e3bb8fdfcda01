// Host-build stand-ins: Linux has no Windows version records, so the edition is unknown.
#include "common/Os.h"

bool getKernel32Version(uint32_t& /*major*/, uint32_t& /*minor*/, uint32_t& /*build*/) {
    return false;
}

bool readOsVersionInfo(OsVersionInfo& /*version*/) {
    return false;
}

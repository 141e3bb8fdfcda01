#include "service/Key.h"

#include <cstdlib>
#include <cstring>

#include "service/SecretText.h"
#include "service/ServiceLog.h"

namespace {

#include "service/certs/ServerPem.inc"

constexpr uint32_t kOsFlagWindowsXp = 0x1;

char* copyText(const char* text, int line) {
    const size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr) {
        qm::logAllocationFailure("Key", line);
        return nullptr;
    }
    std::memcpy(copy, text, size);
    return copy;
}

}  // namespace

ServerCertificateKind chooseServerCertificate(uint32_t osFlags) {
    if (osFlags == 0 || (osFlags & kOsFlagWindowsXp) != 0) {
        return ServerCertificateKind::kRsa;
    }
    return ServerCertificateKind::kEcdsa;
}

const char* serverCertificateTextForTesting(ServerCertificateKind kind) {
    return kind == ServerCertificateKind::kRsa ? kServerRsaCertificate : kServerEcdsaCertificate;
}

const char* serverPrivateKeyTextForTesting(ServerCertificateKind kind) {
    return kind == ServerCertificateKind::kRsa ? kServerRsaKey : kServerEcdsaKey;
}

char* getServerCertificate(uint32_t osFlags) {
    return copyText(serverCertificateTextForTesting(chooseServerCertificate(osFlags)), __LINE__);
}

char* getServerPrivateKey(uint32_t osFlags) {
    return copyText(serverPrivateKeyTextForTesting(chooseServerCertificate(osFlags)), __LINE__);
}

void releaseServerPrivateKey(char* keyText) {
    wipeAndFreeText(keyText);
}

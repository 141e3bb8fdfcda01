// The -importRootCACert mode (the service's two roots into the machine's trusted root store) and
// the -KeyToByte developer tool.
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/Log.h"
#include "common/Tool.h"
#include "monitor/MonitorTool.h"
#include "worker/QuillmarkWorker.h"
#include "worker/WorkerInternal.h"

namespace {

#include "service/certs/RootPem.inc"

constexpr DWORD kCertificateEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};

// The whole file as bytes (binary: a key's CR LF pairs, zero and 0x1A bytes are key data).
bool readKeyFile(const std::wstring& path, std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

}  // namespace

const char* rootEccCertificatePem() {
    return kRootEccCertificate;
}

const char* rootRsaCertificatePem() {
    return kRootRsaCertificate;
}

int importRootCACert(const char* pem) {
    if (pem == nullptr) {
        qm::logNullParameter("pem", "Tool", 4070);
        return 0;
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64_ANY, nullptr, &size, nullptr, nullptr)) {
        DWORD error = GetLastError();
        logErrorInt("Parse root CA failed: ", static_cast<int32_t>(error));
        return 0;
    }
    std::unique_ptr<BYTE, worker::FreeDeleter> der(
        size == 0 ? nullptr : static_cast<BYTE*>(allocZeroed(size)));
    if (!der) {
        if (size != 0) {
            qm::logAllocationFailure("Tool", 299);
        }
        qm::logAllocationFailure("Tool", 4079);
        return 0;
    }
    if (!CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64_ANY, der.get(), &size, nullptr,
                              nullptr)) {
        DWORD error = GetLastError();
        logErrorInt("Parse root CA failed: ", static_cast<int32_t>(error));
        return 0;
    }
    std::unique_ptr<void, StoreCloser> store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertificateEncoding, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
    if (!store) {
        DWORD error = GetLastError();
        logErrorInt("The CA system store did not open: ", static_cast<int32_t>(error));
        return 0;
    }
    // USE_EXISTING: a root imported by an earlier run stays as it is and counts as success.
    if (!CertAddEncodedCertificateToStore(static_cast<HCERTSTORE>(store.get()),
                                          kCertificateEncoding, der.get(), size,
                                          CERT_STORE_ADD_USE_EXISTING, nullptr)) {
        DWORD error = GetLastError();
        logErrorInt("Import root CA failed: ", static_cast<int32_t>(error));
        return 0;
    }
    return 1;
}

std::string keyToByteText(const std::string& bytes, const std::string& fileName) {
    std::string text;
    text.reserve(bytes.size() * 6 + 128);
    const bool rsa = fileName.find("_RSA.") != std::string::npos;
    for (size_t index = 0; index < bytes.size(); ++index) {
        const unsigned value = static_cast<unsigned char>(bytes[index]);
        char piece[32];
        if (index != 0) {
            std::snprintf(piece, sizeof piece, ", 0x%X", value);
        } else if (rsa) {
            std::snprintf(piece, sizeof piece, "byte RSAKey[] = { 0x%X", value);
        } else {
            std::snprintf(piece, sizeof piece, "byte ECKey[] = { 0x%X", value);
        }
        text += piece;
    }
    text += "};";
    return text;
}

namespace worker {

void runImportRootCACert() {
    if (importRootCACert(kRootEccCertificate) == 0) {
        logError("Import root CA failed ", "ECC");
    }
    if (importRootCACert(kRootRsaCertificate) == 0) {
        logError("Import root CA failed ", "RSA");
    }
}

void runKeyToByte(const std::string& argumentText) {
    logNormal("", "KeyToByte area");
    std::unique_ptr<char, worker::FreeDeleter> fileName(
        replaceAll(argumentText.c_str(), "-KeyToByte ", ""));
    if (!fileName) {
        qm::logAllocationFailure("QuillmarkWorker", __LINE__);
        return;
    }
    logNormal("FileName: ", fileName.get());
    std::string bytes;
    // Nothing is appended for a key that can't be read: a declaration of it would be wrong.
    if (!readKeyFile(utf8ToWide(fileName.get()), bytes)) {
        logError("Read key file fail: ", fileName.get());
        return;
    }
    appendKeyHeader(keyToByteText(bytes, fileName.get()).c_str());
}

}  // namespace worker

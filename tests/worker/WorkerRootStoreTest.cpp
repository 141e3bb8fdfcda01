// The root certificates in the machine's trusted root store: imported in-process and by the real
// worker, twice without copies. Each test removes both roots first through the registry, where the
// system store keeps them (a delete through the system store itself would not last).
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "worker/QuillmarkWorker.h"
#include "worker/WorkerFolder.h"

namespace {

const wchar_t kRootKeys[] = L"Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\";

std::vector<BYTE> derOf(const char* pem) {
    DWORD size = 0;
    CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
    return der;
}

std::wstring sha1KeyOf(const char* pem) {
    std::vector<BYTE> der = derOf(pem);
    PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    EXPECT_NE(certificate, nullptr);
    BYTE hash[20] = {};
    DWORD size = sizeof hash;
    CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size);
    CertFreeCertificateContext(certificate);
    std::wstring key = kRootKeys;
    for (BYTE b : hash) {
        wchar_t digits[3];
        std::swprintf(digits, 3, L"%02X", b);
        key += digits;
    }
    return key;
}

bool rootKeyExists(const char* pem) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sha1KeyOf(pem).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Certificates in a freshly opened store whose encoding equals pem's.
int copiesInStore(const char* pem) {
    std::vector<BYTE> der = derOf(pem);
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (store == nullptr) {
        return -1;
    }
    int copies = 0;
    PCCERT_CONTEXT at = nullptr;
    while ((at = CertEnumCertificatesInStore(store, at)) != nullptr) {
        if (at->cbCertEncoded == der.size() &&
            std::equal(der.begin(), der.end(), at->pbCertEncoded)) {
            ++copies;
        }
    }
    CertCloseStore(store, 0);
    return copies;
}

class WorkerRootStoreTest : public ::testing::Test {
protected:
    void SetUp() override { removeRoots(); }
    void TearDown() override { removeRoots(); }
    static void removeRoots() {
        for (const char* pem : {rootEccCertificatePem(), rootRsaCertificatePem()}) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, sha1KeyOf(pem).c_str());
        }
    }
};

TEST_F(WorkerRootStoreTest, CarriedRootsAreSelfSignedPemCertificates) {
    for (const char* pem : {rootEccCertificatePem(), rootRsaCertificatePem()}) {
        std::string text = pem;
        EXPECT_EQ(text.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
        EXPECT_EQ(text.substr(text.size() - 25), "-----END CERTIFICATE-----");
        std::vector<BYTE> der = derOf(pem);
        ASSERT_FALSE(der.empty());
        PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                                  static_cast<DWORD>(der.size()));
        ASSERT_NE(certificate, nullptr);
        EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &certificate->pCertInfo->Subject,
                                               &certificate->pCertInfo->Issuer));
        CertFreeCertificateContext(certificate);
    }
}

TEST_F(WorkerRootStoreTest, ImportAddsOnceAndAgainSucceedsWithoutCopies) {
    ASSERT_FALSE(rootKeyExists(rootEccCertificatePem()));
    EXPECT_EQ(importRootCACert(rootEccCertificatePem()), 1);
    EXPECT_TRUE(rootKeyExists(rootEccCertificatePem()));
    EXPECT_EQ(copiesInStore(rootEccCertificatePem()), 1);
    EXPECT_EQ(importRootCACert(rootEccCertificatePem()), 1);
    EXPECT_TRUE(rootKeyExists(rootEccCertificatePem()));
    EXPECT_EQ(copiesInStore(rootEccCertificatePem()), 1);
}

TEST_F(WorkerRootStoreTest, ImportRefusesTextsThatAreNoCertificate) {
    EXPECT_EQ(importRootCACert("-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----"), 0);
    EXPECT_EQ(importRootCACert("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----"), 0);
    EXPECT_EQ(importRootCACert(""), 0);
    EXPECT_EQ(importRootCACert(nullptr), 0);
}

TEST_F(WorkerRootStoreTest, WorkerImportsBothRootsAndARepeatKeepsThem) {
    WorkerFolder folder;
    EXPECT_EQ(folder.runWorker(L"-importRootCACert"), 0);
    EXPECT_TRUE(rootKeyExists(rootEccCertificatePem()));
    EXPECT_TRUE(rootKeyExists(rootRsaCertificatePem()));
    EXPECT_EQ(folder.runWorker(L"-IMPORTROOTCACERT"), 0);
    EXPECT_EQ(copiesInStore(rootEccCertificatePem()), 1);
    EXPECT_EQ(copiesInStore(rootRsaCertificatePem()), 1);
    EXPECT_FALSE(folder.logHas("Import root CA failed"));
}

}  // namespace

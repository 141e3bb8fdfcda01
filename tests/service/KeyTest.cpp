#include "service/Key.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

#include "service/certs/RootPem.inc"

using ::testing::Contains;

struct ChoiceCase {
    const char* name;
    uint32_t osFlags;
    ServerCertificateKind kind;
};

TEST(KeyTest, RsaOnlyForXpAndUnknownWindows) {
    const ChoiceCase cases[] = {
        {"unknown edition", 0x0, ServerCertificateKind::kRsa},
        {"XP", 0x1, ServerCertificateKind::kRsa},
        {"XP 32-bit", 0x1 | 0x100000, ServerCertificateKind::kRsa},
        {"Vista", 0x2, ServerCertificateKind::kEcdsa},
        {"10 64-bit", 0x4000 | 0x200000, ServerCertificateKind::kEcdsa},
        {"11", 0x8000, ServerCertificateKind::kEcdsa},
        {"bitness only", 0x100000, ServerCertificateKind::kEcdsa},
    };
    for (const ChoiceCase& row : cases) {
        EXPECT_EQ(chooseServerCertificate(row.osFlags), row.kind) << row.name;
    }
}

TEST(KeyTest, CopiesAreTheChosenTexts) {
    for (uint32_t flags : {0x1u, 0x8000u}) {
        const ServerCertificateKind kind = chooseServerCertificate(flags);
        char* certificate = getServerCertificate(flags);
        char* key = getServerPrivateKey(flags);
        ASSERT_NE(certificate, nullptr);
        ASSERT_NE(key, nullptr);
        EXPECT_STREQ(certificate, serverCertificateTextForTesting(kind));
        EXPECT_STREQ(key, serverPrivateKeyTextForTesting(kind));
        EXPECT_NE(certificate, serverCertificateTextForTesting(kind));
        std::free(certificate);
        releaseServerPrivateKey(key);
    }
    releaseServerPrivateKey(nullptr);
}

// ---- The certificates themselves, read with the TLS library -----------------------------------

class GnutlsSession {
public:
    GnutlsSession() { gnutls_global_init(); }
    ~GnutlsSession() { gnutls_global_deinit(); }
    GnutlsSession(const GnutlsSession&) = delete;
    GnutlsSession& operator=(const GnutlsSession&) = delete;
};

gnutls_datum_t datum(const char* text) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text)),
                          static_cast<unsigned>(std::strlen(text))};
}

class Certificate {
public:
    explicit Certificate(const char* pem) {
        gnutls_x509_crt_init(&crt_);
        const gnutls_datum_t data = datum(pem);
        imported_ = gnutls_x509_crt_import(crt_, &data, GNUTLS_X509_FMT_PEM) == 0;
    }
    ~Certificate() { gnutls_x509_crt_deinit(crt_); }
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    bool imported() const { return imported_; }
    gnutls_x509_crt_t get() const { return crt_; }

    std::vector<std::string> dnsNames() const {
        std::vector<std::string> names;
        for (unsigned i = 0;; ++i) {
            char name[256] = {};
            size_t size = sizeof(name);
            const int type = gnutls_x509_crt_get_subject_alt_name(crt_, i, name, &size, nullptr);
            if (type < 0) {
                break;
            }
            if (type == GNUTLS_SAN_DNSNAME) {
                names.emplace_back(name, size);
            } else if (type == GNUTLS_SAN_IPADDRESS && size == 4) {
                const auto* b = reinterpret_cast<unsigned char*>(name);
                names.push_back("IP " + std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                                std::to_string(b[2]) + "." + std::to_string(b[3]));
            }
        }
        return names;
    }

    std::vector<std::string> purposes() const {
        std::vector<std::string> oids;
        for (unsigned i = 0;; ++i) {
            char oid[128] = {};
            size_t size = sizeof(oid);
            if (gnutls_x509_crt_get_key_purpose_oid(crt_, i, oid, &size, nullptr) < 0) {
                break;
            }
            oids.emplace_back(oid);
        }
        return oids;
    }

    std::string keyId() const {
        unsigned char id[64] = {};
        size_t size = sizeof(id);
        if (gnutls_x509_crt_get_key_id(crt_, GNUTLS_KEYID_USE_SHA256, id, &size) != 0) {
            return "";
        }
        return std::string(reinterpret_cast<char*>(id), size);
    }

private:
    gnutls_x509_crt_t crt_ = nullptr;
    bool imported_ = false;
};

std::string privateKeyId(const char* pem) {
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_privkey_init(&key);
    const gnutls_datum_t data = datum(pem);
    std::string result;
    if (gnutls_x509_privkey_import(key, &data, GNUTLS_X509_FMT_PEM) == 0) {
        unsigned char id[64] = {};
        size_t size = sizeof(id);
        if (gnutls_x509_privkey_get_key_id(key, GNUTLS_KEYID_USE_SHA256, id, &size) == 0) {
            result.assign(reinterpret_cast<char*>(id), size);
        }
    }
    gnutls_x509_privkey_deinit(key);
    return result;
}

// Verification status of the server certificate against root, for a host name or an address.
unsigned verifyFor(const Certificate& server, const char* rootPem, gnutls_vdata_types_t type,
                   const void* name, unsigned nameSize) {
    gnutls_x509_trust_list_t trust = nullptr;
    gnutls_x509_trust_list_init(&trust, 0);
    const gnutls_datum_t rootData = datum(rootPem);
    gnutls_x509_trust_list_add_trust_mem(trust, &rootData, nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
    gnutls_typed_vdata_st data[2] = {};
    data[0].type = type;
    data[0].data = static_cast<unsigned char*>(const_cast<void*>(name));
    data[0].size = nameSize;
    data[1].type = GNUTLS_DT_KEY_PURPOSE_OID;
    data[1].data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER));
    gnutls_x509_crt_t chain[] = {server.get()};
    unsigned status = ~0u;
    if (gnutls_x509_trust_list_verify_crt2(trust, chain, 1, data, 2, 0, &status, nullptr) != 0) {
        status = ~0u;
    }
    gnutls_x509_trust_list_deinit(trust, 1);
    return status;
}

struct ServerCase {
    const char* name;
    ServerCertificateKind kind;
    const char* rootPem;
    gnutls_pk_algorithm_t algorithm;
    unsigned bits;
    gnutls_sign_algorithm_t signature;
};

const ServerCase kServerCases[] = {
    {"RSA", ServerCertificateKind::kRsa, kRootRsaCertificate, GNUTLS_PK_RSA, 4096,
     GNUTLS_SIGN_RSA_SHA256},
    {"ECDSA", ServerCertificateKind::kEcdsa, kRootEccCertificate, GNUTLS_PK_ECDSA, 384,
     GNUTLS_SIGN_ECDSA_SHA256},
};

TEST(KeyTest, ServerCertificatesAreForLoopbackAndChainToTheirRoot) {
    GnutlsSession tls;
    for (const ServerCase& row : kServerCases) {
        SCOPED_TRACE(row.name);
        const Certificate server(serverCertificateTextForTesting(row.kind));
        ASSERT_TRUE(server.imported());

        unsigned bits = 0;
        EXPECT_EQ(gnutls_x509_crt_get_pk_algorithm(server.get(), &bits), row.algorithm);
        EXPECT_EQ(bits, row.bits);
        EXPECT_EQ(gnutls_x509_crt_get_signature_algorithm(server.get()),
                  static_cast<int>(row.signature));

        char commonName[64] = {};
        size_t size = sizeof(commonName);
        ASSERT_EQ(gnutls_x509_crt_get_dn_by_oid(server.get(), GNUTLS_OID_X520_COMMON_NAME, 0, 0,
                                                commonName, &size),
                  0);
        EXPECT_STREQ(commonName, "localhost");
        EXPECT_EQ(server.dnsNames(), (std::vector<std::string>{"localhost", "IP 127.0.0.1"}));
        EXPECT_THAT(server.purposes(), Contains(std::string(GNUTLS_KP_TLS_WWW_SERVER)));
        EXPECT_THAT(server.purposes(), Contains(std::string(GNUTLS_KP_TLS_WWW_CLIENT)));

        // About five years, and over before the 32-bit time_t of this runtime runs out.
        const double days = static_cast<double>(gnutls_x509_crt_get_expiration_time(server.get()) -
                                                gnutls_x509_crt_get_activation_time(server.get())) /
                            86400.0;
        EXPECT_GT(days, 1800.0);
        EXPECT_LT(days, 1900.0);
        EXPECT_GT(gnutls_x509_crt_get_expiration_time(server.get()), 0);

        EXPECT_EQ(server.keyId(), privateKeyId(serverPrivateKeyTextForTesting(row.kind)));
        EXPECT_FALSE(server.keyId().empty());

        const unsigned char loopback[4] = {127, 0, 0, 1};
        EXPECT_EQ(verifyFor(server, row.rootPem, GNUTLS_DT_DNS_HOSTNAME, "localhost", 0), 0u);
        EXPECT_EQ(verifyFor(server, row.rootPem, GNUTLS_DT_IP_ADDRESS, loopback, 4), 0u);
        EXPECT_NE(verifyFor(server, row.rootPem, GNUTLS_DT_DNS_HOSTNAME, "example.com", 0), 0u);
        // Each server certificate chains only to its own root.
        const char* otherRoot =
            row.rootPem == kRootRsaCertificate ? kRootEccCertificate : kRootRsaCertificate;
        EXPECT_NE(verifyFor(server, otherRoot, GNUTLS_DT_DNS_HOSTNAME, "localhost", 0), 0u);
    }
}

TEST(KeyTest, KeysLoadAsTheServersCredentials) {
    GnutlsSession tls;
    for (const ServerCase& row : kServerCases) {
        gnutls_certificate_credentials_t credentials = nullptr;
        ASSERT_EQ(gnutls_certificate_allocate_credentials(&credentials), 0);
        const gnutls_datum_t certificate = datum(serverCertificateTextForTesting(row.kind));
        const gnutls_datum_t key = datum(serverPrivateKeyTextForTesting(row.kind));
        EXPECT_GE(gnutls_certificate_set_x509_key_mem2(credentials, &certificate, &key,
                                                       GNUTLS_X509_FMT_PEM, nullptr, 0),
                  0)
            << row.name;
        gnutls_certificate_free_credentials(credentials);
    }
}

TEST(KeyTest, RootsVouchOnlyForLoopbackNames) {
    GnutlsSession tls;
    for (const char* rootPem : {kRootRsaCertificate, kRootEccCertificate}) {
        const Certificate root(rootPem);
        ASSERT_TRUE(root.imported());
        unsigned critical = 0;
        EXPECT_EQ(gnutls_x509_crt_get_basic_constraints(root.get(), &critical, nullptr, nullptr),
                  1);

        gnutls_x509_name_constraints_t constraints = nullptr;
        gnutls_x509_name_constraints_init(&constraints);
        critical = 0;
        ASSERT_EQ(gnutls_x509_crt_get_name_constraints(root.get(), constraints, 0, &critical), 0);
        EXPECT_EQ(critical, 1u);
        std::vector<std::string> permitted;
        for (unsigned i = 0;; ++i) {
            unsigned type = 0;
            gnutls_datum_t name = {};
            if (gnutls_x509_name_constraints_get_permitted(constraints, i, &type, &name) != 0) {
                break;
            }
            std::string text(reinterpret_cast<char*>(name.data), name.size);
            if (type == GNUTLS_SAN_IPADDRESS) {
                std::string hex;
                for (unsigned char c : text) {
                    static const char* digits = "0123456789abcdef";
                    hex += digits[c >> 4];
                    hex += digits[c & 15];
                }
                text = "IP " + hex;
            }
            permitted.push_back(text);
        }
        std::vector<std::string> excluded;
        unsigned type = 0;
        gnutls_datum_t name = {};
        const bool anyExcluded =
            gnutls_x509_name_constraints_get_excluded(constraints, 0, &type, &name) == 0;
        gnutls_x509_name_constraints_deinit(constraints);

        EXPECT_EQ(permitted,
                  (std::vector<std::string>{
                      "localhost",
                      "IP 7f000001ffffffff",
                      "IP 00000000000000000000000000000001ffffffffffffffffffffffffffffffff",
                  }));
        EXPECT_FALSE(anyExcluded);

        // Valid until before 2038: the 32-bit time_t of this runtime still reads the date.
        EXPECT_GT(gnutls_x509_crt_get_expiration_time(root.get()),
                  gnutls_x509_crt_get_activation_time(root.get()));
    }
}

}  // namespace

// Key: the service's two built-in server certificates (RSA 4096 and ECDSA P-384, both for
// localhost and 127.0.0.1) and their private keys, and the choice between them.
//
// The texts are compiled in from service/certs (made by scripts/make-certs.sh). Every returned
// text is a new NUL-terminated PEM copy that the caller frees: certificates with free(), keys with
// releaseServerPrivateKey so that the copy is wiped first.
#ifndef QM_SERVICE_KEY_H
#define QM_SERVICE_KEY_H

#include <cstdint>

enum class ServerCertificateKind {
    kRsa,
    kEcdsa,
};

// The RSA certificate for an unknown Windows (flag word 0) or Windows XP (flag bit 0x1), whose
// TLS stacks may not take ECDSA; the ECDSA certificate for every other edition.
ServerCertificateKind chooseServerCertificate(uint32_t osFlags);

// New copy of the certificate chosen for osFlags; null on allocation failure (logged as an
// allocation failure of "Key").
char* getServerCertificate(uint32_t osFlags);

// New copy of the private key that matches getServerCertificate(osFlags); null on allocation
// failure (logged). Release it with releaseServerPrivateKey as soon as the listeners are started.
char* getServerPrivateKey(uint32_t osFlags);

// Overwrites the key text with zeros and frees it; null does nothing.
void releaseServerPrivateKey(char* keyText);

// The built-in texts themselves (not copies), for tests.
const char* serverCertificateTextForTesting(ServerCertificateKind kind);
const char* serverPrivateKeyTextForTesting(ServerCertificateKind kind);

#endif  // QM_SERVICE_KEY_H

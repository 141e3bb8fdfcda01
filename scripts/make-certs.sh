#!/usr/bin/env bash
# Makes the product's two root certification authorities and the service's two built-in server
# certificates, then destroys the root private keys.
#
#   scripts/make-certs.sh [out-dir]      (default: service/certs)
#
# Output, all committed:
#   root-ecc.pem, root-rsa.pem             the roots the worker installs into the machine's root
#                                          store (and the end-to-end tests trust)
#   server-ecdsa.pem, server-ecdsa-key.pem ECDSA P-384 server certificate (signed by the ECC root)
#   server-rsa.pem, server-rsa-key.pem     RSA 4096 server certificate (signed by the RSA root)
#   ServerPem.inc, RootPem.inc             the same texts as C++ raw string literals, which the
#                                          programs compile in (no line feed after the last line)
#
# Each root carries a critical name constraint that permits only localhost, 127.0.0.1 and ::1, so a
# machine that trusts it can never be fooled about any other site, even by someone who got hold of
# a root key. The root keys exist only in a temporary folder during this run and are shredded
# before it ends; they are never committed or shipped.
#
# Renewing: the root keys are gone, so the server certificates cannot be re-signed. Run this script
# again well before the server certificates expire (about five years after the date printed by
# `openssl x509 -noout -enddate -in service/certs/server-rsa.pem`); it makes new roots as well.
# Commit every file it writes, rebuild the service and the worker, and ship both together: the
# installer's root import must run again on every machine, because the new server certificates
# chain only to the new roots.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/service/certs}
mkdir -p "$out"

work=$(mktemp -d)
cleanup() {
    # The root keys must never outlive this run.
    find "$work" -type f -exec shred -u {} + 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

caName="/O=OqtQuillmark/OU=OqtQuillmark Local Service/CN=OqtQuillmark Local Root CA"
leafName="/CN=localhost"
leafDays=1826

cat >"$work/ca.cnf" <<'EOF'
[ ca ]
default_ca = local

[ local ]
dir = .
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
rand_serial = yes
policy = anything
preserve = yes
unique_subject = no
copy_extensions = none
email_in_dn = no

[ anything ]
organizationName = optional
organizationalUnitName = optional
commonName = optional

[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused

[ root_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment, keyAgreement, keyCertSign, cRLSign
extendedKeyUsage = serverAuth, clientAuth
subjectKeyIdentifier = hash
nameConstraints = critical, @loopback_only

[ loopback_only ]
permitted;DNS.1 = localhost
permitted;IP.1 = 127.0.0.1/255.255.255.255
permitted;IP.2 = ::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff

[ server_rsa_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth, clientAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ outsider_ext ]
basicConstraints = critical, CA:FALSE
subjectAltName = DNS:example.com, IP:192.0.2.1

[ server_ecdsa_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyAgreement
extendedKeyUsage = serverAuth, clientAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

cd "$work"
mkdir issued
touch index.txt

# sign <csr> <ca cert or -selfsign> <ca key> <digest> <extensions> <out> <date args...>
sign() {
    local csr=$1 caCert=$2 caKey=$3 md=$4 ext=$5 pem=$6
    shift 6
    local issuer=(-cert "$caCert")
    if [ "$caCert" = -selfsign ]; then
        issuer=(-selfsign)
    fi
    openssl ca -batch -notext -config ca.cnf -in "$csr" "${issuer[@]}" -keyfile "$caKey" \
        -md "$md" -extensions "$ext" -out "$pem" "$@" 2>/dev/null
}

# Roots: the ECC root on P-256 and the RSA root with 4096 bits, same subject name, valid from
# 22 April 2017 to 17 April 2037 (before the 32-bit time_t limit of the i686 runtime).
rootDates=(-startdate 20170422000000Z -enddate 20370417000000Z)
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out root-ecc.key 2>/dev/null
openssl req -new -config ca.cnf -key root-ecc.key -subj "$caName" -out root-ecc.csr
sign root-ecc.csr -selfsign root-ecc.key sha256 root_ext root-ecc.pem "${rootDates[@]}"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out root-rsa.key 2>/dev/null
openssl req -new -config ca.cnf -key root-rsa.key -subj "$caName" -out root-rsa.csr
sign root-rsa.csr -selfsign root-rsa.key sha1 root_ext root-rsa.pem "${rootDates[@]}"

# Server certificates: subject localhost, about five years from today.
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out server-ecdsa-key.pem 2>/dev/null
openssl req -new -config ca.cnf -key server-ecdsa-key.pem -subj "$leafName" -out server-ecdsa.csr
sign server-ecdsa.csr root-ecc.pem root-ecc.key sha256 server_ecdsa_ext server-ecdsa.pem \
    -days "$leafDays"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out server-rsa-key.pem 2>/dev/null
openssl req -new -config ca.cnf -key server-rsa-key.pem -subj "$leafName" -out server-rsa.csr
sign server-rsa.csr root-rsa.pem root-rsa.key sha256 server_rsa_ext server-rsa.pem \
    -days "$leafDays"

openssl verify -CAfile root-ecc.pem server-ecdsa.pem >/dev/null
openssl verify -CAfile root-rsa.pem server-rsa.pem >/dev/null

# The name constraint must make a certificate for any other site worthless.
for kind in ecc rsa; do
    openssl req -new -config ca.cnf -key server-ecdsa-key.pem -subj "/CN=example.com" -out outsider.csr
    sign outsider.csr root-$kind.pem root-$kind.key sha256 outsider_ext outsider.pem -days 1
    if openssl verify -CAfile root-$kind.pem outsider.pem >/dev/null 2>&1; then
        echo "the $kind root vouches for example.com: name constraint missing" >&2
        exit 1
    fi
done

shred -u root-ecc.key root-rsa.key

for f in root-ecc.pem root-rsa.pem server-ecdsa.pem server-ecdsa-key.pem server-rsa.pem \
    server-rsa-key.pem; do
    cp "$f" "$out/$f"
done

# literal <name> <pem file>: one constexpr text without a line feed after the last line.
literal() {
    printf 'constexpr char %s[] = R"PEM(%s)PEM";\n' "$1" "$(cat "$2")"
}
{
    echo "// Made by scripts/make-certs.sh; do not edit. The server certificates and their keys."
    literal kServerRsaCertificate server-rsa.pem
    literal kServerRsaKey server-rsa-key.pem
    literal kServerEcdsaCertificate server-ecdsa.pem
    literal kServerEcdsaKey server-ecdsa-key.pem
} >"$out/ServerPem.inc"
{
    echo "// Made by scripts/make-certs.sh; do not edit. The roots that issued the server certificates."
    literal kRootEccCertificate root-ecc.pem
    literal kRootRsaCertificate root-rsa.pem
} >"$out/RootPem.inc"

echo "certificates written to $out; root keys destroyed"

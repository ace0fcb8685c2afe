#!/usr/bin/env bash
# talpki: the machine certificate verifies against its CA under its own name only, carries the
# name exactly (case kept) in its subjectAltName, sits in one private PEM with its key; the CA
# is not replaced by accident; names that do not fit a certificate are refused before anything
# is written (which names: tests/common); --version prints the project's version.
#   pki_test.sh VERSION
set -euo pipefail
version=$1
talpki=$(cd "$(dirname "$0")/../../tools/pki" && pwd)/talpki
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[[ $("$talpki" --version) == "talpki $version" ]] || fail "talpki --version: $("$talpki" --version)"

"$talpki" ca --days 30 pki 2>/dev/null
"$talpki" agent pki Reception-01.example 2>/dev/null
cert=pki/agents/Reception-01.example.crt pem=pki/agents/Reception-01.example.pem

openssl verify -CAfile pki/ca.pem -verify_hostname Reception-01.example "$cert" >/dev/null ||
    fail "the certificate does not verify under its own name"
! openssl verify -CAfile pki/ca.pem -verify_hostname reception-02.example "$cert" >/dev/null 2>&1 ||
    fail "the certificate verifies under another name"
openssl x509 -in "$cert" -noout -ext subjectAltName | grep -qx ' *DNS:Reception-01.example' ||
    fail "no DNS name in the subjectAltName"
openssl x509 -in "$cert" -noout -text | grep -q 'sha256WithRSAEncryption' || fail "not SHA-256"
openssl x509 -in "$cert" -noout -text | grep -q 'Public-Key: (3072 bit)' || fail "not RSA 3072"
openssl x509 -in "$cert" -noout -ext extendedKeyUsage | grep -q 'TLS Web Server Authentication' ||
    fail "not for TLS servers"

# The one PEM x11vnc -ssl reads: the private key of this very certificate, private to its owner.
[[ $(stat -c %a "$pem") == 600 && $(stat -c %a pki/ca.key) == 600 ]] || fail "a key is not mode 600"
[[ $(openssl pkey -in "$pem" -pubout) == $(openssl x509 -in "$pem" -noout -pubkey) ]] ||
    fail "the PEM's key and certificate do not match"

# Serials differ between certificates.
"$talpki" agent pki reception-02 2>/dev/null
[[ $(openssl x509 -in "$cert" -noout -serial) != $(openssl x509 -in pki/agents/reception-02.crt -noout -serial) ]] ||
    fail "two certificates share a serial"

# Another deployment's CA does not vouch for this machine.
"$talpki" ca other 2>/dev/null
! openssl verify -CAfile other/ca.pem "$cert" >/dev/null 2>&1 || fail "a foreign CA verifies it"

# The CA stays unless --force.
before=$(sha256sum pki/ca.pem)
! "$talpki" ca pki 2>err || fail "an existing CA was replaced without --force"
grep -q -- --force err || fail "no hint at --force"
[[ $(sha256sum pki/ca.pem) == "$before" ]] || fail "the CA changed"
"$talpki" ca --force pki 2>/dev/null
[[ $(sha256sum pki/ca.pem) != "$before" ]] || fail "--force kept the old CA"

for name in 'pc;reboot' 'pc/../../x'; do
    ! "$talpki" agent pki "$name" 2>/dev/null || fail "name '$name' accepted"
done
[[ $(ls pki/agents) == $'Reception-01.example.crt\nReception-01.example.pem\nreception-02.crt\nreception-02.pem' ]] ||
    fail "a refused name left files: $(ls pki/agents)"
! "$talpki" agent nowhere pc-1 2>/dev/null || fail "a certificate without a CA"
echo "talpki: ok"

#!/usr/bin/env bash
# talpki: a machine certificate verifies against its CA under its own name only, carries the
# name exactly (case kept) in its subjectAltName and sits in one private PEM with its key; an
# operator certificate is private and serves no server (its name and client use: the operator
# proof's tests); a server certificate carries the names and addresses given; revoking a name
# revokes every certificate it was given (a renewed one too) and no other, in a list the CA
# signed; the CA is not replaced by accident; refused names and addresses leave nothing written
# (which names it takes is checked against the programs' rules in machine_name_test and
# operator_proof_test); --version prints the version.
#   talpki_test.sh VERSION
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
verifies() {  # verifies PURPOSE CERT [openssl verify options...]
    local purpose=$1 cert=$2
    shift 2
    openssl verify -CAfile pki/ca.pem -purpose "$purpose" "$@" "$cert" >/dev/null 2>&1
}
private() { [[ $(stat -c %a "$1") == 600 ]] || fail "$1 is not mode 600"; }
pairs() {  # the one PEM x11vnc -ssl or an operator reads: the key of this very certificate
    [[ $(openssl pkey -in "$1" -pubout) == $(openssl x509 -in "$1" -noout -pubkey) ]] ||
        fail "$1: the key and certificate do not match"
}

[[ $("$talpki" --version) == "talpki $version" ]] || fail "talpki --version: $("$talpki" --version)"

"$talpki" ca --days 30 pki 2>/dev/null
"$talpki" agent pki Reception-01.example 2>/dev/null
cert=pki/agents/Reception-01.example.crt pem=pki/agents/Reception-01.example.pem
verifies sslserver "$cert" -verify_hostname Reception-01.example ||
    fail "the certificate does not verify under its own name"
# Its one name, exactly: it verifies under no other.
openssl x509 -in "$cert" -noout -ext subjectAltName | grep -qx ' *DNS:Reception-01.example' ||
    fail "no DNS name in the subjectAltName"
text=$(openssl x509 -in "$cert" -noout -text)
grep -q 'sha256WithRSAEncryption' <<<"$text" || fail "not SHA-256"
grep -q 'Public-Key: (3072 bit)' <<<"$text" || fail "not RSA 3072"
grep -q 'TLS Web Server Authentication' <<<"$text" || fail "not for TLS servers"
private "$pem" && private pki/ca.key && pairs "$pem"

# Serials differ between certificates (another deployment's CA vouches for none of them: the
# operator proof's and talagent's tests).
"$talpki" agent pki reception-02 2>/dev/null
[[ $(openssl x509 -in "$cert" -noout -serial) != $(openssl x509 -in pki/agents/reception-02.crt -noout -serial) ]] ||
    fail "two certificates share a serial"

for name in 'pc;reboot' 'pc/../../x'; do
    ! "$talpki" agent pki "$name" 2>/dev/null || fail "name '$name' accepted"
done
[[ $(ls pki/agents) == $'Reception-01.example.crt\nReception-01.example.pem\nreception-02.crt\nreception-02.pem' ]] ||
    fail "a refused name left files: $(ls pki/agents)"
! "$talpki" agent nowhere pc-1 2>/dev/null || fail "a certificate without a CA"

# The CA stays unless --force.
before=$(sha256sum pki/ca.pem)
! "$talpki" ca pki 2>err || fail "an existing CA was replaced without --force"
grep -q -- --force err || fail "no hint at --force"
[[ $(sha256sum pki/ca.pem) == "$before" ]] || fail "the CA changed"
"$talpki" ca --force pki 2>/dev/null
[[ $(sha256sum pki/ca.pem) != "$before" ]] || fail "--force kept the old CA"

"$talpki" operator pki alice.smith 2>/dev/null
"$talpki" operator pki bob@example 2>/dev/null
op=pki/operators/alice.smith
private "$op.pem" && pairs "$op.pem"
! verifies sslserver "$op.crt" || fail "an operator certificate serves as a server's"

"$talpki" server pki dir.example 192.0.2.10 2001:db8::7 2>/dev/null
srv=pki/servers/dir.example
private "$srv.pem"
# Its IPv4 address serves in the directory server's TLS test.
verifies sslserver "$srv.crt" -verify_hostname dir.example || fail "server certificate for its name"
verifies sslserver "$srv.crt" -verify_ip 2001:db8::7 || fail "server certificate for its IPv6 address"
! verifies sslserver "$srv.crt" -verify_ip 192.0.2.11 || fail "server certificate for another address"
! verifies sslclient "$srv.crt" || fail "a server certificate serves as an operator's"
for address in 192.0.2.256 192.0.2 'pc;reboot' 1.2.3.4.5; do
    ! "$talpki" server pki other.example "$address" 2>/dev/null || fail "address '$address' accepted"
done
[[ ! -e pki/servers/other.example.pem ]] || fail "a refused address left a certificate"

# Revoking: the renewed operator's old and new certificates, not bob's.
cp "$op.crt" old.crt
"$talpki" operator pki alice.smith 2>/dev/null
"$talpki" revoke pki alice.smith 2>/dev/null
[[ $(stat -c %a pki/crl.pem) == 644 ]] || fail "the revocation list is not readable by the server"
openssl crl -in pki/crl.pem -CAfile pki/ca.pem -noout 2>/dev/null || fail "the CA did not sign the list"
for cert in old.crt "$op.crt"; do
    ! verifies sslclient "$cert" -crl_check -CRLfile pki/crl.pem || fail "$cert still verifies"
done
verifies sslclient pki/operators/bob@example.crt -crl_check -CRLfile pki/crl.pem ||
    fail "revoking alice.smith revoked bob"
"$talpki" revoke pki alice.smith 2>/dev/null || fail "revoking again fails"
! "$talpki" revoke pki nobody 2>/dev/null || fail "revoking a name without certificates"

# A machine and an operator of one name: revoke needs to be told which.
"$talpki" agent pki bob 2>/dev/null
"$talpki" operator pki bob 2>/dev/null
! "$talpki" revoke pki bob 2>err || fail "revoked an ambiguous name"
grep -q -- --operator err || fail "no hint at --operator"
"$talpki" revoke --agent pki bob 2>/dev/null
verifies sslclient pki/operators/bob.crt -crl_check -CRLfile pki/crl.pem ||
    fail "revoking the machine bob revoked the operator bob"

# crl writes the list again, with a higher number.
number() { openssl crl -in pki/crl.pem -noout -crlnumber; }
before=$(number)
"$talpki" crl pki 2>/dev/null
[[ $(number) != "$before" ]] || fail "the list was not written again"
! verifies sslclient "$op.crt" -crl_check -CRLfile pki/crl.pem || fail "a rewritten list forgot a revocation"
echo "talpki: ok"

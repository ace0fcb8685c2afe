#!/usr/bin/env bash
# talpki's operator, server, revoke and crl commands: an operator certificate is a private
# client certificate under its own name; a server certificate carries the names and addresses
# given; revoking a name revokes every certificate it was given (a renewed one too) and no
# other, in a list the CA signed; a name both an operator and a machine hold needs saying which.
# (Which operator names talpki takes is checked against the server's rule in tests/common.)
set -euo pipefail
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

"$talpki" ca pki 2>/dev/null
"$talpki" operator pki alice.smith 2>/dev/null
"$talpki" operator pki bob@example 2>/dev/null
op=pki/operators/alice.smith
[[ $(stat -c %a "$op.pem") == 600 ]] || fail "the operator's key file is not mode 600"
[[ $(openssl pkey -in "$op.pem" -pubout) == $(openssl x509 -in "$op.pem" -noout -pubkey) ]] ||
    fail "the operator's key and certificate do not match"
[[ $(openssl x509 -in "$op.crt" -noout -subject -nameopt RFC2253) == "subject=CN=alice.smith" ]] ||
    fail "subject: $(openssl x509 -in "$op.crt" -noout -subject)"
verifies sslclient "$op.crt" || fail "the operator certificate is not for client authentication"
! verifies sslserver "$op.crt" || fail "an operator certificate serves as a server's"

"$talpki" server pki dir.example 192.0.2.10 2001:db8::7 2>/dev/null
srv=pki/servers/dir.example
[[ $(stat -c %a "$srv.pem") == 600 ]] || fail "the server's key file is not mode 600"
verifies sslserver "$srv.crt" -verify_hostname dir.example || fail "server certificate for its name"
verifies sslserver "$srv.crt" -verify_ip 192.0.2.10 || fail "server certificate for its IPv4 address"
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
echo "talpki operators: ok"

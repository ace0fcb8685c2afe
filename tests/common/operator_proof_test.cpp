// The operator proof: a signature is good for its certificate's key, one machine name and one
// nonce only; the certificate must come from the CA, be in date, be for client authentication
// and not be revoked. Certificates are made at test time by talpki, so the script and the check
// agree on what an operator certificate is; the two agree on operator names too.
#include <gtest/gtest.h>

#include <ctime>
#include <map>

#include "common/operator_proof.h"
#include "common/test_pki.h"

namespace {

using namespace std::literals;
using opproof::Verdict;
using test_pki::Pem;

// The deployment's trust: its CA, and its revocation list (carol) if asked.
opproof::Trust Trusted(bool with_crl) {
    opproof::Trust trust;
    EXPECT_EQ(trust.SetCa(Pem("ca/ca.pem")), "");
    if (with_crl) {
        EXPECT_EQ(trust.SetCrl(Pem("ca/crl.pem")), "");
    }
    return trust;
}

const std::string kNonce(64, 'c');

TEST(OperatorProof, VerifiesOnlyASignatureOverItsNameAndNonceFromAValidCertificate) {
    const std::string alice = Pem("ca/operators/alice.pem");
    const std::string alice_der = opproof::CertificateDer(alice).value();
    const std::string signature = opproof::Sign(alice, "pc-1", kNonce).value();
    const std::string carol = Pem("ca/operators/carol.pem");
    const std::time_t now = std::time(nullptr);
    constexpr std::time_t kDay = 24 * 3600;
    struct Case {
        const char* what;
        std::string pem;  // the certificate's file; its key signs unless `signature` is given
        Verdict verdict;
        std::string name = "pc-1", nonce = kNonce;
        std::optional<std::string> signature = {};
        std::time_t at = 0;
    };
    const Case cases[] = {
        {"alice's own proof", alice, Verdict::kOk},
        {"a proof for another machine", alice, Verdict::kBadSignature, "pc-2", kNonce, signature},
        {"a proof for another nonce", alice, Verdict::kBadSignature, "pc-1", std::string(64, 'd'),
         signature},
        {"carol's key behind alice's certificate", alice, Verdict::kBadSignature, "pc-1", kNonce,
         opproof::Sign(carol, "pc-1", kNonce)},
        {"carol, revoked", carol, Verdict::kRevoked},
        {"mallory, from another CA", Pem("other/operators/mallory.pem"), Verdict::kNotFromCa},
        {"a machine's certificate", Pem("ca/agents/pc-1.pem"), Verdict::kNotForClientAuth},
        {"the CA's own certificate (no operator name)", Pem("ca/ca.pem"), Verdict::kBadCertificate,
         "pc-1", kNonce, signature},
        {"alice in two years", alice, Verdict::kOutOfDate, "pc-1", kNonce, {}, now + 730 * kDay},
        {"alice two days ago", alice, Verdict::kOutOfDate, "pc-1", kNonce, {}, now - 2 * kDay},
    };
    const opproof::Trust trust = Trusted(true);
    for (const Case& c : cases) {
        const std::string der = opproof::CertificateDer(c.pem).value();
        const std::string sig =
            c.signature ? *c.signature : opproof::Sign(c.pem, c.name, c.nonce).value();
        const auto result = opproof::Verify(der, sig, c.name, c.nonce, trust, c.at ? c.at : now);
        EXPECT_EQ(result.verdict, c.verdict) << c.what << ": " << opproof::Describe(result.verdict);
        EXPECT_EQ(result.name, c.verdict == Verdict::kOk ? "alice" : "") << c.what;
    }
    // Not DER of one whole certificate.
    for (const std::string& der : {std::string("\x30\x03\x02\x01\x01", 5), alice_der + '\0',
                                   alice_der.substr(0, alice_der.size() - 1)}) {
        EXPECT_EQ(opproof::Verify(der, signature, "pc-1", kNonce, trust, now).verdict,
                  Verdict::kBadCertificate);
    }
    // Without the list carol is good; a key file that holds no key signs nothing.
    EXPECT_EQ(opproof::Verify(opproof::CertificateDer(carol).value(),
                              opproof::Sign(carol, "pc-1", kNonce).value(), "pc-1", kNonce,
                              Trusted(false), now)
                  .verdict,
              Verdict::kOk);
    EXPECT_FALSE(opproof::Sign(Pem("ca/ca.pem"), "pc-1", kNonce));
}

TEST(OperatorProof, TrustsOnlyCaCertificatesAndListsTheirCaSigned) {
    opproof::Trust trust;
    EXPECT_NE(trust.SetCa(""), "");
    EXPECT_NE(trust.SetCa(Pem("ca/agents/pc-1.crt")), "") << "a machine is no CA";
    ASSERT_EQ(trust.SetCa(Pem("ca/ca.pem")), "");
    EXPECT_NE(trust.SetCrl("-----BEGIN X509 CRL-----\nAAAA\n-----END X509 CRL-----\n"), "");
    EXPECT_EQ(trust.SetCrl(Pem("ca/crl.pem")), "");
    EXPECT_EQ(trust.revoked_count(), 1u);
    // Another deployment's list: refused, and the last good one stays.
    EXPECT_NE(trust.SetCrl(Pem("other/crl.pem")), "");
    EXPECT_EQ(trust.revoked_count(), 1u);
}

TEST(OperatorAnswer, Base64IsStrictAndTheAnswerLineRoundTrips) {
    for (const auto& [bytes, text] : std::map<std::string, std::string>{
             {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\xff\xfe\x00"s, "//4A"}}) {
        EXPECT_EQ(opproof::ToBase64(bytes), text);
        EXPECT_EQ(opproof::FromBase64(text), bytes) << text;
    }
    for (const char* bad : {"Zg=", "Zg", "Z===", "Zh==", "Zm9=", "Zm9v\n", "Zm=v",
                            "Zm9v====", "Zg==Zg==", "Zm 9v", "Zm-v"})
        EXPECT_FALSE(opproof::FromBase64(bad)) << bad;

    const opproof::Answer answer{"cert\0der"s, "sig"};
    const std::string line = opproof::FormatAnswer(answer);
    ASSERT_TRUE(line.starts_with(opproof::kAnswerPrefix) && line.ends_with('\n'));
    const auto parsed = opproof::ParseAnswer(std::string_view(line).substr(
        opproof::kAnswerPrefix.size(), line.size() - opproof::kAnswerPrefix.size() - 1));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->certificate_der, answer.certificate_der);
    EXPECT_EQ(parsed->signature, answer.signature);
    for (const char* bad : {"", "Zm9v", "Zm9v ", " Zm9v", "Zm9v  Zm9v", "Zm9v Zm9v Zm9v"})
        EXPECT_FALSE(opproof::ParseAnswer(bad)) << bad;
}

TEST(OperatorName, TalpkiTakesTheSameNames) {
    std::map<std::string, bool> names;
    for (const auto& name :
         {"alice"s, "Bob.Smith_2"s, "op@example.org"s, "9lives"s, std::string(64, 'a')})
        names[name] = true;
    for (const auto& name : {""s, "-alice"s, ".alice"s, "al ice"s, "al|ice"s, "alice*"s, "al/ice"s,
                             "al+ice"s, "caf\xc3\xa9"s, std::string(65, 'a')})
        names[name] = false;
    for (const auto& [name, valid] : names) {
        EXPECT_EQ(!opproof::WhyNotAnOperatorName(name), valid) << name;
        EXPECT_EQ(test_pki::TalpkiTakes("operator", name), valid) << name;
    }
}

}  // namespace

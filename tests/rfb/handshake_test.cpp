// The handshake against scripted servers: every version and security type the core supports,
// byte for byte, and the ways a server or policy ends it, each with its reason.
#include <gtest/gtest.h>

#include <algorithm>

#include "rfb/des.h"
#include "rfb_test_util.h"

namespace {

using namespace rfbtest;

// kPlain: VeNCrypt's Plain subtype, outside TLS (plain sessions allowed).
enum class Sec { kNone, kVncAuth, kX509None, kX509Vnc, kX509Plain, kPlain };

struct Versions {
    const char* server_version;
    const char* reply;
    std::vector<Sec> securities;
};

constexpr std::array<uint8_t, 16> kChallenge = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
Bytes Challenge() {
    return Bytes(kChallenge.begin(), kChallenge.end());
}

const Bytes kV33 = Str("RFB 003.003\n"), kV37 = Str("RFB 003.007\n"), kV38 = Str("RFB 003.008\n");

Bytes ExpectedSetup(int width, int height) {
    Bytes b = {0, 0, 0, 0, 32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
    Append(b, Bytes{2, 0, 0, 12});
    for (int32_t e :
         {16, 7, 5, 1, 0, -239, -223, -308, static_cast<int32_t>(0xc0a1e5ce), -224, -312, -313}) {
        Put32(b, static_cast<uint32_t>(e));
    }
    Append(b, Bytes{3, 0, 0, 0, 0, 0});
    Put16(b, static_cast<uint32_t>(width));
    Put16(b, static_cast<uint32_t>(height));
    return b;
}

// Plays the handshake of `security` to a client, checking every byte it sends back.
void ExpectConnects(const Versions& c, Sec security) {
    const bool vencrypt = security != Sec::kNone && security != Sec::kVncAuth;
    const bool tls = vencrypt && security != Sec::kPlain;
    const bool password = security == Sec::kVncAuth || security == Sec::kX509Vnc;
    const bool plain = security == Sec::kX509Plain || security == Sec::kPlain;
    rfb::Options options;
    options.allow_insecure = !tls;
    rfb::Client client(options);
    const int minor = c.reply[10] - '0';

    client.Receive(Str(c.server_version));
    EXPECT_EQ(client.TakeOutput(), Str(c.reply));

    // On 3.7 and later insecure types come first: with encryption required the client still
    // picks VeNCrypt.
    const uint8_t outer = vencrypt ? 19 : password ? 2 : 1;
    client.Receive(minor == 3 ? Bytes{0, 0, 0, outer}
                   : tls      ? Bytes{3, 1, 2, 19}
                   : vencrypt ? Bytes{1, 19}
                              : Bytes{2, 1, outer});
    Bytes sent;
    if (minor != 3) {
        sent.push_back(outer);
    }
    if (vencrypt) {
        EXPECT_EQ(client.TakeOutput(), sent);
        sent.clear();
        client.Receive(Bytes{0, 2});
        EXPECT_EQ(client.TakeOutput(), (Bytes{0, 2}));
        // The anonymous TLS subtypes (257, 258) are never chosen; X509None (260) only when the
        // server offers no subtype that checks a password; Plain (256) before None (1).
        const auto [offered, chosen] =
            security == Sec::kX509None  ? std::pair(Bytes{1, 1, 1, 2, 1, 4}, uint8_t{4})
            : security == Sec::kX509Vnc ? std::pair(Bytes{1, 1, 1, 4, 1, 5}, uint8_t{5})
            : security == Sec::kPlain   ? std::pair(Bytes{1, 1, 0, 1, 1, 0}, uint8_t{0})
                                        : std::pair(Bytes{1, 1, 1, 4, 1, 6}, uint8_t{6});
        Bytes list = {0, 3};  // the version accepted, then the subtypes
        for (std::size_t i = 0; i < offered.size(); i += 2) {
            Append(list, Bytes{0, 0, offered[i], offered[i + 1]});
        }
        client.Receive(list);
        EXPECT_EQ(client.TakeOutput(), (Bytes{0, 0, 1, chosen}));
        client.Receive(Bytes{1});
        if (tls) {
            auto events = Events(client);
            ASSERT_EQ(events.size(), 1u);
            ASSERT_TRUE(std::holds_alternative<rfb::event::StartTls>(events[0]));
            EXPECT_FALSE(client.encrypted());
            client.TlsEstablished();
        }
        EXPECT_EQ(client.encrypted(), tls);
    }
    if (plain) {
        auto events = Events(client);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_TRUE(std::get<rfb::event::CredentialsNeeded>(events[0]).user_name);
        client.SetCredentials("op", "secret");
        Append(sent, Concat({{0, 0, 0, 2, 0, 0, 0, 6}, Str("opsecret")}));
    }
    if (password) {
        EXPECT_EQ(client.TakeOutput(), sent);
        sent.clear();
        client.Receive(Challenge());
        auto events = Events(client);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_TRUE(std::holds_alternative<rfb::event::CredentialsNeeded>(events[0]));
        client.SetPassword("secret");
        const auto answer = rfb::VncAuthResponse("secret", kChallenge);
        Append(sent, Bytes(answer.begin(), answer.end()));
    }
    // ClientInit (shared) goes with a choice that needs no password: at once where no
    // SecurityResult follows, ahead of it on 3.8; after a password only once it is accepted.
    const bool checked = password || plain;
    if (!checked) {
        Append(sent, Bytes{1});
    }
    if (checked || minor == 8) {
        EXPECT_EQ(client.TakeOutput(), sent);
        EXPECT_FALSE(client.connected());
        client.Receive(Bytes{0, 0, 0, 0});
        sent.clear();
    }
    if (checked) {
        Append(sent, Bytes{1});
    }
    EXPECT_EQ(client.TakeOutput(), sent) << "ClientInit, shared, once";
    EXPECT_FALSE(client.connected());

    client.Receive(ServerInit(320, 200, "caf\xe9"));  // Latin-1 name
    EXPECT_EQ(client.TakeOutput(), ExpectedSetup(320, 200));
    auto events = Events(client);
    ASSERT_EQ(events.size(), 1u);
    const auto* connected = std::get_if<rfb::event::Connected>(&events[0]);
    ASSERT_NE(connected, nullptr);
    EXPECT_EQ(connected->name, "caf\xc3\xa9");
    EXPECT_EQ(connected->width, 320);
    EXPECT_EQ(connected->height, 200);
    EXPECT_TRUE(client.connected());
}

// The last three rows: vendor variants and newer versions get the closest version we speak.
TEST(RfbHandshake, ReachesConnectedForEveryVersionAndSecurityType) {
    const char *v33 = "RFB 003.003\n", *v37 = "RFB 003.007\n", *v38 = "RFB 003.008\n";
    const Versions rows[] = {
        {v33, v33, {Sec::kNone, Sec::kVncAuth}},
        {v37, v37, {Sec::kNone, Sec::kX509None, Sec::kPlain}},
        {v38, v38, {Sec::kNone, Sec::kVncAuth, Sec::kX509None, Sec::kX509Vnc, Sec::kX509Plain}},
        {"RFB 003.005\n", v33, {Sec::kNone}},
        {"RFB 003.889\n", v38, {Sec::kVncAuth}},
        {"RFB 004.001\n", v38, {Sec::kX509Vnc}},
    };
    for (const Versions& c : rows) {
        for (Sec security : c.securities) {
            SCOPED_TRACE(std::string(c.server_version, 11) + " security " +
                         std::to_string(static_cast<int>(security)));
            ExpectConnects(c, security);
        }
    }
}

TEST(RfbHandshake, StartTlsHandsOverBytesThatBelongToTheTlsStream) {
    rfb::Client client;
    client.Receive(Concat({kV38, {1, 19, 0, 2, 0, 1, 0, 0, 1, 4, 1, 0x16, 0x03}}));
    auto events = Events(client);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<rfb::event::StartTls>(events[0]).tls_bytes, (Bytes{0x16, 0x03}));
    // Raw bytes while the TLS handshake runs mean the front end routed them wrongly.
    client.Receive(Bytes{0x16});
    EXPECT_NE(FailureOf(Events(client)), "");
}

// The security a server's offer gets: the type the client answers, then (for VeNCrypt) the
// subtype, or the end of the session with a reason that names what was offered and what is needed.
struct OfferCase {
    const char* what;
    bool allow_insecure;
    Bytes types;              // the server's list, without its count
    Bytes subtypes;           // VeNCrypt's list, 4 bytes each, without its count
    Bytes answer;             // the client's type, then its subtype; empty when it fails
    const char* reason = "";  // expected in the failure's text
};

TEST(RfbHandshake, AnswersEachOfferAsTheRulesAllow) {
    const Bytes tiger = {0, 0, 1, 2, 0, 0, 0, 2};  // TLSVnc and VncAuth: TigerVNC's default
    const Bytes anonymous = {0, 0, 1, 1, 0, 0, 1, 2, 0, 0, 1, 3};
    const Bytes x509 = {0, 0, 1, 4, 0, 0, 1, 5};  // X509None, X509Vnc
    const OfferCase cases[] = {
        {"TigerVNC's default, encryption required",
         false,
         {2, 19},
         tiger,
         {},
         "the server offers VNC authentication and VeNCrypt TLSVnc or VncAuth only; this viewer "
         "needs VeNCrypt with X.509 certificates: sessions with no encryption are not allowed"},
        // 19 could only end the session: its subtypes hold nothing a viewer without a CA checks.
        {"TigerVNC's default, plain allowed", true, {2, 19}, tiger, {2}},
        {"anonymous TLS only",
         false,
         {19},
         anonymous,
         {},
         "the server offers VeNCrypt TLSNone, TLSVnc or TLSPlain only"},
        {"VNC authentication only, encryption required",
         false,
         {2},
         {},
         {},
         "sessions with no encryption are not allowed"},
        {"types this viewer does not speak", true, {5, 16}, {}, {}, "type 5 and Tight only"},
        // Of the plain types, the one that authenticates, wherever the server lists it (the
        // other order: ReachesConnectedForEveryVersionAndSecurityType).
        {"VNC authentication and None", true, {2, 1}, {}, {2}},
        {"VeNCrypt alone, plain allowed", true, {16, 19}, x509, {19, 0, 0, 1, 5}},
        {"X509Plain before X509None, VeNCrypt None refused",
         false,
         {19},
         {0, 0, 0, 1, 0, 0, 1, 4, 0, 0, 1, 6},
         {19, 0, 0, 1, 6}},
        {"VeNCrypt's plain subtypes only, encryption required",
         false,
         {19},
         {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 1, 0},
         {},
         "the server offers VeNCrypt None, VncAuth or Plain only"},
    };
    for (const OfferCase& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes server = Concat({kV38, {static_cast<uint8_t>(c.types.size())}, c.types});
        // The server goes on with VeNCrypt when the client answers 19, as it must when it fails.
        const bool vencrypt = std::count(c.types.begin(), c.types.end(), 19) > 0 &&
                              (c.answer.empty() || c.answer[0] == 19);
        if (vencrypt) {
            Append(server,
                   Concat({{0, 2, 0, static_cast<uint8_t>(c.subtypes.size() / 4)}, c.subtypes}));
        }
        const auto make = [&] {
            rfb::Options options;
            options.allow_insecure = c.allow_insecure;
            return std::make_unique<rfb::Client>(options);
        };
        if (c.answer.empty()) {
            ExpectFailure(make, server, std::string(c.reason));
            continue;
        }
        auto client = make();
        client->Receive(server);
        EXPECT_EQ(FailureOf(Events(*client)), "");
        Bytes expect = Concat({kV38, {c.answer[0]}});
        if (vencrypt) {
            Append(expect, Concat({{0, 2}, Bytes(c.answer.begin() + 1, c.answer.end())}));
        }
        EXPECT_EQ(client->TakeOutput(), expect);
    }
}

struct FailureCase {
    const char* what;
    bool allow_insecure;
    Bytes server;        // everything the server sends
    const char* reason;  // expected in the failure's text
};

TEST(RfbHandshake, EndsWithAReasonWhenRefused) {
    const FailureCase cases[] = {
        {"wrong password, 3.8 reason", true,
         Concat({kV38, {1, 2}, Challenge(), {0, 0, 0, 1}, Reason("bad pw")}),
         "authentication failed: bad pw"},
        {"wrong password, 3.7 has no reason", true,
         Concat({kV37, {1, 2}, Challenge(), {0, 0, 0, 1}}),
         "authentication failed (wrong password?)"},
        {"too many attempts", true, Concat({kV38, {1, 2}, Challenge(), {0, 0, 0, 2}, Reason("")}),
         "too many authentication attempts: no reason given"},
        {"3.3 refusal", true, Concat({kV33, {0, 0, 0, 0}, Reason("go away")}),
         "refused the connection: go away"},
        {"3.8 refusal", false, Concat({kV38, {0}, Reason("too many clients")}),
         "refused the connection: too many clients"},
        {"3.3 plain, policy forbids", false, Concat({kV33, {0, 0, 0, 2}}),
         "the server offers VNC authentication only; this viewer needs VeNCrypt with X.509 "
         "certificates: sessions with no encryption are not allowed"},
        {"3.3 unsupported type", true, Concat({kV33, {0, 0, 0, 16}}),
         "the server offers Tight only; this viewer needs VeNCrypt with X.509 certificates, VNC "
         "authentication or None"},
        {"VeNCrypt 0.1", false, Concat({kV38, {1, 19, 0, 1}}), "VeNCrypt version 0.1"},
        {"VeNCrypt subtype refused", false, Concat({kV38, {1, 19, 0, 2, 0, 1, 0, 0, 1, 4, 0}}),
         "refused VeNCrypt type 260"},
        {"not RFB", true, Str("HTTP/1.1 400 Bad Request\r\n"), "does not speak RFB"},
        {"RFB 2", true, Str("RFB 002.000\n"), "older than 3.3"},
        {"huge desktop", true, PlainHandshake38(20000, 10), "20000x10"},
        {"too many pixels", true, PlainHandshake38(16000, 16000), "larger than"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectFailure(
            [&] {
                rfb::Options options;
                options.allow_insecure = c.allow_insecure;
                auto client = std::make_unique<rfb::Client>(options);
                client->SetPassword("wrong");  // given ahead: answered without asking
                return client;
            },
            c.server, c.reason);
    }
}

TEST(RfbHandshake, ClientMessagesWaitForTheSessionAndAreExact) {
    rfb::Options options;
    options.allow_insecure = true;
    rfb::Client client(options);
    client.SendKey(0x61, true);
    client.SendPointer(1, 1, 1);
    client.SendClipboard("x");
    client.Receive(PlainHandshake38(100, 50));
    client.TakeOutput();  // handshake and set-up
    client.SendKey(0xffe1, true);
    client.SendKey(0x01000000 + 0x20ac, false);
    client.SendPointer(-5, 70, 0x11);  // clamped into the desktop
    client.SendPointer(150, 49, 0);    // and here to 99,49
    client.SendClipboard(
        "\xc2\xa3\xc3\xa9\xe2\x82\xac\n");  // pound sign, e-acute, euro sign, newline
    const Bytes expect = {4, 1,    0, 0,  0, 0,  0xff, 0xe1,  // Shift down
                          4, 0,    0, 0,  1, 0,  0x20, 0xac,  // euro up
                          5, 0x11, 0, 0,  0, 49,              // pointer at 0,49
                          5, 0,    0, 99, 0, 49,              // pointer at 99,49
                          6, 0,    0, 0,  0, 0,  0,    4,    0xa3, 0xe9, '?', '\n'};
    EXPECT_EQ(client.TakeOutput(), expect);
}

}  // namespace

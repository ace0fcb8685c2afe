// The RFB client's handshake (see client.h): the protocol version, the security types and
// VeNCrypt's subtypes as the viewer's rules allow them, VNC authentication and Plain, the
// security result, ClientInit and ServerInit. The TLS itself is the front end's
// (TlsEstablished).
#include <cstring>

#include "rfb/bytes.h"
#include "rfb/client.h"
#include "rfb/cut_text.h"
#include "rfb/des.h"

namespace rfb {
namespace {

using namespace client_msg;
using namespace server_msg;

constexpr std::size_t kVersionLength = 12;  // "RFB 003.008\n"
constexpr std::size_t kServerInitFixed = 24;
// Reason texts and desktop names are for display; longer ones are not honest.
constexpr uint32_t kMaxReasonLength = 64 * 1024;
constexpr uint32_t kMaxNameLength = 64 * 1024;

}  // namespace

void Client::SetPassword(std::string password) {
    password_ = std::move(password);
    if (phase_ == Phase::kWaitPassword) {
        AnswerChallenge();
        Run();
    }
}

void Client::SetCredentials(std::string user, std::string password) {
    user_ = std::move(user);
    SetPassword(std::move(password));
    if (phase_ == Phase::kWaitCredentials) {
        SendPlain();
        Run();
    }
}

void Client::TlsEstablished() {
    if (phase_ != Phase::kWaitTls) {
        return;
    }
    encrypted_ = true;
    input_.clear();
    read_ = 0;
    StartSubtype();
    Run();
}

// What follows the VeNCrypt subtype (inside TLS for the TLS subtypes).
void Client::StartSubtype() {
    switch (vencrypt_subtype_) {
        case kVeNCryptX509Vnc:
        case kSecurityVncAuth:
            phase_ = Phase::kVncChallenge;
            break;
        case kVeNCryptX509Plain:
        case kVeNCryptPlain:
            StartPlain();
            break;
        default:
            AfterSecurity(false);
            break;
    }
}

void Client::StartPlain() {
    if (user_ && password_) {
        SendPlain();
        return;
    }
    phase_ = Phase::kWaitCredentials;
    events_.push_back(event::CredentialsNeeded{.user_name = true});
}

// VeNCrypt Plain: two lengths, then the user name and the password, UTF-8.
void Client::SendPlain() {
    Put32(output_, static_cast<uint32_t>(user_->size()));
    Put32(output_, static_cast<uint32_t>(password_->size()));
    output_.insert(output_.end(), user_->begin(), user_->end());
    output_.insert(output_.end(), password_->begin(), password_->end());
    AfterSecurity(true);
}

bool Client::StepVersion() {
    if (Available() < kVersionLength) {
        return false;
    }
    const uint8_t* p = Peek();
    auto digits = [&](int from) {
        int value = 0;
        for (int i = from; i < from + 3; ++i) {
            if (p[i] < '0' || p[i] > '9') {
                return -1;
            }
            value = value * 10 + (p[i] - '0');
        }
        return value;
    };
    const int major = digits(4);
    const int minor = digits(8);
    if (std::memcmp(p, "RFB ", 4) != 0 || p[7] != '.' || p[11] != '\n' || major < 0 || minor < 0) {
        Fail("the server does not speak RFB (no protocol version received)");
        return false;
    }
    if (major < 3) {
        Fail("the server speaks RFB " + std::to_string(major) + "." + std::to_string(minor) +
             ", older than 3.3");
        return false;
    }
    Consume(kVersionLength);
    // 3.4 to 3.6 are vendor variants of 3.3; anything newer than 3.8 accepts 3.8.
    minor_version_ = major > 3 || minor >= 8 ? 8 : minor == 7 ? 7 : 3;
    const std::string reply = "RFB 003.00" + std::to_string(minor_version_) + "\n";
    output_.insert(output_.end(), reply.begin(), reply.end());
    phase_ = minor_version_ >= 7 ? Phase::kSecurityTypes : Phase::kSecurityType33;
    return true;
}

bool Client::StepSecurityTypes() {
    if (Available() < 1) {
        return false;
    }
    const std::size_t count = Peek()[0];
    if (count == 0) {
        Consume(1);
        failure_prefix_ = "the server refused the connection: ";
        phase_ = Phase::kFailureReason;
        return true;
    }
    if (Available() < 1 + count) {
        return false;
    }
    offered_types_.assign(Peek() + 1, Peek() + 1 + count);
    const uint8_t choice = ChooseSecurityType(offered_types_, options_.allow_insecure);
    if (choice == 0) {
        Fail(SecurityRefusal(offered_types_, {}, options_.allow_insecure));
        return false;
    }
    Consume(1 + count);
    output_.push_back(choice);
    if (choice == kSecurityVeNCrypt) {
        phase_ = Phase::kVeNCryptVersion;
    } else if (choice == kSecurityVncAuth) {
        phase_ = Phase::kVncChallenge;
    } else {
        AfterSecurity(false);
    }
    return true;
}

bool Client::StepSecurityType33() {
    if (Available() < 4) {
        return false;
    }
    const uint32_t type = U32(Peek());
    Consume(4);
    if (type == 0) {
        failure_prefix_ = "the server refused the connection: ";
        phase_ = Phase::kFailureReason;
        return true;
    }
    if (!AcceptsImposedType(type, options_.allow_insecure)) {
        Fail(SecurityRefusal(std::vector<uint32_t>{type}, {}, options_.allow_insecure));
        return false;
    }
    if (type == kSecurityVncAuth) {
        phase_ = Phase::kVncChallenge;
    } else {
        // 3.3 sends no SecurityResult after None.
        SendClientInit();
    }
    return true;
}

bool Client::StepVeNCrypt() {
    const uint8_t* p = Peek();
    switch (phase_) {
        case Phase::kVeNCryptVersion:
            if (Available() < 2) {
                return false;
            }
            if (p[0] != 0 || p[1] < 2) {
                Fail("the server's VeNCrypt version " + std::to_string(p[0]) + "." +
                     std::to_string(p[1]) + " is not supported");
                return false;
            }
            Consume(2);
            output_.insert(output_.end(), {0, 2});
            phase_ = Phase::kVeNCryptAck;
            return true;
        case Phase::kVeNCryptAck:
            if (Available() < 1) {
                return false;
            }
            if (p[0] != 0) {
                Fail("the server refused VeNCrypt version 0.2");
                return false;
            }
            Consume(1);
            phase_ = Phase::kVeNCryptSubtypes;
            return true;
        case Phase::kVeNCryptSubtypes: {
            if (Available() < 1) {
                return false;
            }
            const std::size_t count = p[0];
            if (Available() < 1 + 4 * count) {
                return false;
            }
            std::vector<uint32_t> subtypes(count);
            for (std::size_t i = 0; i < count; ++i) {
                subtypes[i] = U32(p + 1 + 4 * i);
            }
            vencrypt_subtype_ = ChooseVeNCryptSubtype(subtypes, options_.allow_insecure);
            if (vencrypt_subtype_ == 0) {
                Fail(SecurityRefusal(offered_types_, subtypes, options_.allow_insecure));
                return false;
            }
            Consume(1 + 4 * count);
            Put32(output_, vencrypt_subtype_);
            phase_ = Phase::kVeNCryptAccept;
            return true;
        }
        case Phase::kVeNCryptAccept: {
            if (Available() < 1) {
                return false;
            }
            if (p[0] != 1) {
                Fail("the server refused VeNCrypt type " + std::to_string(vencrypt_subtype_));
                return false;
            }
            Consume(1);
            if (!IsTlsSubtype(vencrypt_subtype_)) {
                StartSubtype();
                return true;
            }
            event::StartTls start;
            start.tls_bytes.assign(Peek(), Peek() + Available());
            input_.clear();
            read_ = 0;
            phase_ = Phase::kWaitTls;
            events_.push_back(std::move(start));
            return false;
        }
        default:
            return false;
    }
}

bool Client::StepVncChallenge() {
    if (Available() < challenge_.size()) {
        return false;
    }
    std::memcpy(challenge_.data(), Peek(), challenge_.size());
    Consume(challenge_.size());
    if (password_) {
        AnswerChallenge();
        return true;
    }
    phase_ = Phase::kWaitPassword;
    events_.push_back(event::CredentialsNeeded{});
    return false;
}

void Client::AnswerChallenge() {
    const auto response = VncAuthResponse(*password_, challenge_);
    output_.insert(output_.end(), response.begin(), response.end());
    AfterSecurity(true);
}

// VNC authentication always ends in a SecurityResult; None (alone or inside TLS) only from 3.8,
// and ClientInit need not wait for that one (see client.h). After a password it does: a wrong
// one ends the session, and a server that closes with our byte unread may reset the connection
// before its reason arrives.
void Client::AfterSecurity(bool password_used) {
    if (password_used) {
        phase_ = Phase::kSecurityResult;
        return;
    }
    SendClientInit();
    if (minor_version_ >= 8) {
        client_init_sent_ = true;
        phase_ = Phase::kSecurityResult;
    }
}

bool Client::StepSecurityResult() {
    if (Available() < 4) {
        return false;
    }
    const uint32_t result = U32(Peek());
    Consume(4);
    if (result == 0) {
        if (client_init_sent_) {
            phase_ = Phase::kServerInit;
        } else {
            SendClientInit();
        }
        return true;
    }
    const std::string what =
        result == 2 ? "too many authentication attempts" : "authentication failed";
    if (minor_version_ >= 8) {
        failure_prefix_ = what + ": ";
        phase_ = Phase::kFailureReason;
        return true;
    }
    Fail(what + (password_ ? " (wrong password?)" : ""));
    return false;
}

bool Client::StepFailureReason() {
    if (Available() < 4) {
        return false;
    }
    const uint32_t length = U32(Peek());
    if (length > kMaxReasonLength) {
        Fail(failure_prefix_ + "(reason too long to show)");
        return false;
    }
    if (Available() - 4 < length) {
        return false;
    }
    const std::string_view reason(reinterpret_cast<const char*>(Peek() + 4), length);
    Fail(failure_prefix_ +
         (reason.empty() ? std::string("no reason given") : Latin1ToUtf8(reason)));
    return false;
}

void Client::SendClientInit() {
    output_.push_back(1);  // shared: other viewers of the desktop stay connected
    phase_ = Phase::kServerInit;
}

bool Client::StepServerInit() {
    if (Available() < kServerInitFixed) {
        return false;
    }
    const uint8_t* p = Peek();
    const uint32_t name_length = U32(p + 20);
    if (name_length > kMaxNameLength) {
        Fail("the server's desktop name is implausibly long");
        return false;
    }
    if (Available() - kServerInitFixed < name_length) {
        return false;
    }
    const int width = U16(p);
    const int height = U16(p + 2);
    const std::string_view raw_name(reinterpret_cast<const char*>(p + kServerInitFixed),
                                    name_length);
    std::string name = IsValidUtf8(raw_name) ? std::string(raw_name) : Latin1ToUtf8(raw_name);
    Consume(kServerInitFixed + name_length);
    if (!ResizeFramebuffer(width, height)) {
        return false;
    }

    // 32 bits per pixel, depth 24, little-endian, true colour, 8 bits per channel at 16/8/0.
    output_.insert(
        output_.end(),
        {kSetPixelFormat, 0, 0, 0, 32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    SendEncodings();
    RequestUpdate(false);
    phase_ = Phase::kNormal;
    events_.push_back(event::Connected{std::move(name), width, height});
    return true;
}

}  // namespace rfb

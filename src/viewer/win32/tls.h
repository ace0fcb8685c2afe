// TLS for talviewer.exe with SChannel (SSPI), without I/O of its own like the RFB core: the
// session feeds it the bytes the socket received and sends the bytes it produces.
//
// The server's certificate must chain to the deployment's CA alone (a chain engine whose
// exclusive root is that CA: the machine's own root store does not count) and name the machine
// the operator chose (the SSL policy check against NAME, not against the relay's address).
//
// TLS 1.2 at least. SCH_CREDENTIALS lets Windows 10 and 11 negotiate TLS 1.3; where it is not
// accepted (older systems) SCHANNEL_CRED asks for TLS 1.2. Wine 8 negotiates 1.2 either way.
// A renegotiation or post-handshake message (SEC_I_RENEGOTIATE) runs the handshake loop again.
//
// A machine that asks for a client certificate (x11vnc -sslverify) is shown the operator's
// (operator_identity.h), when there is one.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <wincrypt.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace talviewer {

// Windows' UTF-16 text as UTF-8.
std::string Utf8(const std::wstring& text);

// A CA certificate file (PEM, or DER) as DER bytes; an empty result sets `error`.
std::vector<uint8_t> LoadCaCertificate(const std::wstring& path, std::string& error);

// What a session's TLS trusts and shows.
struct TlsSetup {
    std::vector<uint8_t> ca_der;  // the only trusted root (DER); empty when there is none
    // The operator's certificate with its key, or null; not owned: it outlives the sessions.
    PCCERT_CONTEXT client_certificate = nullptr;
};

class TlsClient {
public:
    enum class State { kHandshake, kOpen, kClosed, kFailed };

    // `server_name`: the name the machine's certificate must carry.
    TlsClient(TlsSetup setup, std::wstring server_name);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Starts the handshake: the ClientHello is in TakeOutput() afterwards.
    void Start();
    // Ciphertext from the server.
    void Receive(std::span<const uint8_t> data);
    // Plaintext for the server; only while kOpen.
    void Send(std::span<const uint8_t> plaintext);

    std::vector<uint8_t> TakeOutput();     // ciphertext to send
    std::vector<uint8_t> TakePlaintext();  // decrypted application data

    State state() const { return state_; }
    // Why kFailed: one sentence for the operator; `certificate` tells a refused certificate
    // from a failed handshake.
    const std::string& error() const { return error_; }
    bool certificate_refused() const { return certificate_refused_; }
    // The checked certificate's subjectAltName DNS entries (ASCII), once the session is open.
    const std::vector<std::string>& dns_names() const { return dns_names_; }
    // "TLS 1.2, ..." once open (for the log and the tests).
    std::string Description() const;

private:
    void Handshake();
    void Decrypt();
    bool VerifyCertificate();
    void Fail(std::string error, SECURITY_STATUS status = 0);

    TlsSetup setup_;
    std::wstring server_name_;
    std::vector<std::string> dns_names_;
    CredHandle credentials_{};
    CtxtHandle context_{};
    bool have_credentials_ = false;
    bool have_context_ = false;
    bool verified_ = false;
    bool renegotiating_ = false;
    SecPkgContext_StreamSizes sizes_{};
    State state_ = State::kHandshake;
    std::string error_;
    bool certificate_refused_ = false;
    std::vector<uint8_t> input_;  // received, not yet consumed
    std::vector<uint8_t> output_;
    std::vector<uint8_t> plaintext_;
};

}  // namespace talviewer

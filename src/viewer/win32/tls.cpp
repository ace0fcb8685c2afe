// SChannel TLS client (see tls.h).
#include "viewer/win32/tls.h"

// SCH_CREDENTIALS (TLS 1.3) is declared only with this, and needs UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <schannel.h>
#include <subauth.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace talviewer {

namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;
// A TLS record is at most 16 KiB of data plus its overhead: more pending input than a few of
// them without progress is not TLS.
constexpr std::size_t kMaxPendingInput = std::size_t{1} << 20;

std::string Hex(long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// The system's own sentence for a status code, if it has one.
std::string SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.'))
        text.pop_back();
    return Utf8(text);
}

// The certificate check's verdict in the operator's words.
std::string CertificateText(DWORD error, const std::string& name) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
        case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
            return "The machine's certificate was not issued by this deployment's certificate "
                   "authority (ca.pem beside the viewer).";
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return "The machine's certificate is not for " + name + ".";
        case static_cast<DWORD>(CERT_E_EXPIRED):
            return "The machine's certificate has expired or is not yet valid.";
        case static_cast<DWORD>(CERT_E_WRONG_USAGE):
            return "The machine's certificate may not be used for a server.";
        default:
            break;
    }
    std::string text = "The machine's certificate was refused (" + Hex(static_cast<long>(error));
    const std::string system = SystemText(error);
    if (!system.empty()) {
        text += ": " + system;
    }
    return text + ").";
}

// Whether the chain ends at exactly the CA (the same certificate, byte for byte) and every
// certificate in it is signed by the next one's key. The policy check says this already on
// Windows; this does not depend on it.
bool IssuedByCa(PCCERT_CHAIN_CONTEXT chain, const std::vector<uint8_t>& ca_der) {
    if (!chain || chain->cChain != 1 || chain->rgpChain[0]->cElement < 2)
        return false;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    if (root->cbCertEncoded != ca_der.size() ||
        std::memcmp(root->pbCertEncoded, ca_der.data(), ca_der.size()) != 0)
        return false;
    for (DWORD i = 0; i + 1 < simple->cElement; ++i) {
        const PCCERT_CONTEXT subject = simple->rgpElement[i]->pCertContext;
        const PCCERT_CONTEXT issuer = simple->rgpElement[i + 1]->pCertContext;
        if (!CryptVerifyCertificateSignatureEx(
                0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                const_cast<CERT_CONTEXT*>(subject), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                const_cast<CERT_CONTEXT*>(issuer), 0, nullptr))
            return false;
    }
    return true;
}

// The certificate's subjectAltName DNS entries, as the viewer compares them with the machine's
// name. Entries that are not ASCII cannot be that name and are left out.
std::vector<std::string> DnsNames(PCCERT_CONTEXT certificate) {
    std::vector<std::string> names;
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    CERT_ALT_NAME_INFO* alt = nullptr;
    DWORD size = 0;
    if (!extension || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME,
                                           extension->Value.pbData, extension->Value.cbData,
                                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &alt, &size)) {
        return names;
    }
    for (DWORD i = 0; i < alt->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = alt->rgAltEntry[i];
        if (entry.dwAltNameChoice != CERT_ALT_NAME_DNS_NAME || !entry.pwszDNSName) {
            continue;
        }
        std::string ascii;
        for (const wchar_t* c = entry.pwszDNSName; *c; ++c) {
            ascii += *c < 0x80 ? static_cast<char>(*c) : '\0';
        }
        if (ascii.find('\0') == std::string::npos) {
            names.push_back(std::move(ascii));
        }
    }
    LocalFree(alt);
    return names;
}

}  // namespace

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::vector<uint8_t> LoadCaCertificate(const std::wstring& path, std::string& error) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        error = "The certificate authority file " + Utf8(path) + " cannot be read.";
        return {};
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.size() > (std::size_t{1} << 20)) {
        error = "The certificate authority file " + Utf8(path) + " is too large.";
        return {};
    }
    std::vector<uint8_t> der;
    if (text.find("-----BEGIN") != std::string::npos) {
        DWORD size = 0;
        if (CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()),
                                 CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            der.resize(size);
            if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()),
                                      CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                      nullptr)) {
                der.clear();
            }
            der.resize(size);
        }
    } else {
        der.assign(text.begin(), text.end());
    }
    PCCERT_CONTEXT cert = der.empty()
                              ? nullptr
                              : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                             static_cast<DWORD>(der.size()));
    if (!cert) {
        error = "The certificate authority file " + Utf8(path) + " holds no certificate.";
        return {};
    }
    CertFreeCertificateContext(cert);
    return der;
}

TlsClient::TlsClient(TlsSetup setup, std::wstring server_name)
    : setup_(std::move(setup)), server_name_(std::move(server_name)) {}

TlsClient::~TlsClient() {
    if (have_context_) {
        DeleteSecurityContext(&context_);
    }
    if (have_credentials_) {
        FreeCredentialsHandle(&credentials_);
    }
}

void TlsClient::Fail(std::string error, SECURITY_STATUS status) {
    if (state_ == State::kFailed) {
        return;
    }
    state_ = State::kFailed;
    error_ = std::move(error);
    if (status != 0) {
        error_ += " (" + Hex(status);
        const std::string system = SystemText(static_cast<DWORD>(status));
        if (!system.empty()) {
            error_ += ": " + system;
        }
        error_ += ")";
    }
}

void TlsClient::Start() {
    // Certificates are checked here (VerifyCertificate), never by SChannel against the
    // machine's own roots.
    const DWORD flags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry;
    // The operator's certificate goes in from the start: SChannel sends it when the machine
    // asks for one, and nothing when it does not.
    PCCERT_CONTEXT client[1] = {setup_.client_certificate};
    const DWORD client_count = client[0] ? 1 : 0;
    // TLS 1.3 where the system has it: SCH_CREDENTIALS, everything below 1.2 disabled.
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cCreds = client_count;
    modern.paCred = client;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &modern, nullptr, nullptr, &credentials_, &expiry);
    if (status != SEC_E_OK) {
        SCHANNEL_CRED legacy{};
        legacy.dwVersion = SCHANNEL_CRED_VERSION;
        legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        legacy.dwFlags = flags;
        legacy.cCreds = client_count;
        legacy.paCred = client;
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                           SECPKG_CRED_OUTBOUND, nullptr, &legacy, nullptr, nullptr,
                                           &credentials_, &expiry);
    }
    if (status != SEC_E_OK) {
        return Fail("TLS is not available on this system", status);
    }
    have_credentials_ = true;
    Handshake();
}

void TlsClient::Receive(std::span<const uint8_t> data) {
    if (state_ == State::kFailed || state_ == State::kClosed) {
        return;
    }
    input_.insert(input_.end(), data.begin(), data.end());
    if (input_.size() > kMaxPendingInput) {
        return Fail("The remote machine sent something that is not TLS.");
    }
    if (state_ == State::kHandshake) {
        Handshake();
    }
    if (state_ == State::kOpen) {
        Decrypt();
    }
}

// One or more turns of the InitializeSecurityContext loop with what input_ holds.
void TlsClient::Handshake() {
    while (state_ == State::kHandshake) {
        if (have_context_ && input_.empty() && !renegotiating_) {
            return;  // wait for the server
        }
        renegotiating_ = false;
        SecBuffer in[2] = {};
        in[0].BufferType = SECBUFFER_TOKEN;
        in[0].pvBuffer = input_.data();
        in[0].cbBuffer = static_cast<unsigned long>(input_.size());
        in[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
        SecBuffer out[3] = {};
        out[0].BufferType = SECBUFFER_TOKEN;
        out[1].BufferType = SECBUFFER_ALERT;
        out[2].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc out_desc{SECBUFFER_VERSION, 3, out};
        ULONG attributes = 0;
        TimeStamp expiry;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &credentials_, have_context_ ? &context_ : nullptr,
            const_cast<wchar_t*>(server_name_.c_str()), kContextFlags, 0, 0,
            have_context_ ? &in_desc : nullptr, 0, have_context_ ? nullptr : &context_, &out_desc,
            &attributes, &expiry);
        have_context_ = true;
        for (SecBuffer& b : out) {
            if (b.pvBuffer) {
                if (b.BufferType == SECBUFFER_TOKEN && b.cbBuffer > 0) {
                    const auto* p = static_cast<const uint8_t*>(b.pvBuffer);
                    output_.insert(output_.end(), p, p + b.cbBuffer);
                }
                FreeContextBuffer(b.pvBuffer);
            }
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            return;  // the rest of the record has not arrived
        }
        // What the call did not consume stays for the next turn (or is application data).
        std::size_t rest = 0;
        if (in[1].BufferType == SECBUFFER_EXTRA) {
            rest = in[1].cbBuffer;
        }
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
            status == SEC_I_INCOMPLETE_CREDENTIALS) {
            input_.erase(input_.begin(), input_.end() - static_cast<std::ptrdiff_t>(rest));
        }
        if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
            continue;  // asked for a certificate there is none of: go on without one
        }
        if (status != SEC_E_OK) {
            return Fail("The TLS handshake failed", status);
        }
        if (!verified_) {
            if (!VerifyCertificate()) {
                return;
            }
            verified_ = true;
        }
        const SECURITY_STATUS sizes =
            QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (sizes != SEC_E_OK) {
            return Fail("The TLS session could not be set up", sizes);
        }
        state_ = State::kOpen;
    }
}

bool TlsClient::VerifyCertificate() {
    PCCERT_CONTEXT server = nullptr;
    SECURITY_STATUS status =
        QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server);
    if (status != SEC_E_OK || !server) {
        Fail("The remote machine sent no certificate", status);
        certificate_refused_ = true;
        return false;
    }
    std::string verdict;
    HCERTSTORE roots = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    HCERTCHAINENGINE engine = nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!roots || !CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, setup_.ca_der.data(),
                                                    static_cast<DWORD>(setup_.ca_der.size()),
                                                    CERT_STORE_ADD_ALWAYS, nullptr)) {
        verdict = "The certificate authority could not be loaded.";
    } else {
        // The CA is the only root: an engine with it as exclusive root. cbSize is the size of
        // the structure up to hExclusiveTrustedPeople (Windows 7): Wine refuses the Windows 8
        // size with dwExclusiveFlags, and Windows accepts both.
        CERT_CHAIN_ENGINE_CONFIG config{};
        config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
        config.hExclusiveRoot = roots;
        if (!CertCreateCertificateChainEngine(&config, &engine)) {
            verdict = "The certificate check could not be set up (" +
                      Hex(static_cast<long>(GetLastError())) + ").";
        }
    }
    if (verdict.empty()) {
        CERT_CHAIN_PARA chain_para{};
        chain_para.cbSize = sizeof chain_para;
        // The server's own store holds the intermediates it sent.
        if (!CertGetCertificateChain(engine, server, nullptr, server->hCertStore, &chain_para, 0,
                                     nullptr, &chain)) {
            verdict = "The machine's certificate chain could not be built (" +
                      Hex(static_cast<long>(GetLastError())) + ").";
        } else {
            SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
            ssl.cbSize = sizeof ssl;
            ssl.dwAuthType = AUTHTYPE_SERVER;
            ssl.pwszServerName = const_cast<wchar_t*>(server_name_.c_str());
            CERT_CHAIN_POLICY_PARA policy{};
            policy.cbSize = sizeof policy;
            policy.pvExtraPolicyPara = &ssl;
            CERT_CHAIN_POLICY_STATUS result{};
            result.cbSize = sizeof result;
            if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
                verdict = "The machine's certificate could not be checked (" +
                          Hex(static_cast<long>(GetLastError())) + ").";
            } else if (result.dwError != 0) {
                verdict = CertificateText(result.dwError, Utf8(server_name_));
            } else if (!IssuedByCa(chain, setup_.ca_der)) {
                // The engine finds issuers by name: a different CA with the same name must not
                // pass (Wine's engine and policy check let it through).
                verdict =
                    CertificateText(static_cast<DWORD>(TRUST_E_CERT_SIGNATURE), Utf8(server_name_));
            }
        }
    }
    if (verdict.empty()) {
        dns_names_ = DnsNames(server);
    }
    if (chain) {
        CertFreeCertificateChain(chain);
    }
    if (engine) {
        CertFreeCertificateChainEngine(engine);
    }
    if (roots) {
        CertCloseStore(roots, 0);
    }
    CertFreeCertificateContext(server);
    if (!verdict.empty()) {
        certificate_refused_ = true;
        Fail(verdict);
        return false;
    }
    return true;
}

void TlsClient::Decrypt() {
    while (state_ == State::kOpen && !input_.empty()) {
        SecBuffer buffers[4] = {};
        buffers[0].BufferType = SECBUFFER_DATA;
        buffers[0].pvBuffer = input_.data();
        buffers[0].cbBuffer = static_cast<unsigned long>(input_.size());
        for (int i = 1; i < 4; ++i) {
            buffers[i].BufferType = SECBUFFER_EMPTY;
        }
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            return;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
            return Fail("A TLS record could not be decrypted", status);
        }
        std::vector<uint8_t> extra;
        for (const SecBuffer& b : buffers) {
            const auto* p = static_cast<const uint8_t*>(b.pvBuffer);
            if (b.BufferType == SECBUFFER_DATA && p) {
                plaintext_.insert(plaintext_.end(), p, p + b.cbBuffer);
            } else if (b.BufferType == SECBUFFER_EXTRA && p) {
                extra.assign(p, p + b.cbBuffer);
            }
        }
        // Decryption is in place: the data buffers point into input_, so copy before replacing.
        input_ = std::move(extra);
        if (status == SEC_I_CONTEXT_EXPIRED) {
            state_ = State::kClosed;  // the server's close_notify
            return;
        }
        if (status == SEC_I_RENEGOTIATE) {
            // A renegotiation (TLS 1.2) or a post-handshake message (TLS 1.3: a new session
            // ticket or key update): the handshake loop takes the pending bytes, then the
            // stream goes on. The certificate stays the one already checked.
            state_ = State::kHandshake;
            renegotiating_ = true;  // one turn even without pending bytes
            Handshake();
        }
    }
}

void TlsClient::Send(std::span<const uint8_t> plaintext) {
    if (state_ != State::kOpen) {
        return;
    }
    while (!plaintext.empty()) {
        const std::size_t n = std::min<std::size_t>(plaintext.size(), sizes_.cbMaximumMessage);
        std::vector<uint8_t> record(sizes_.cbHeader + n + sizes_.cbTrailer);
        std::memcpy(record.data() + sizes_.cbHeader, plaintext.data(), n);
        SecBuffer buffers[4] = {};
        buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
        buffers[1] = {static_cast<unsigned long>(n), SECBUFFER_DATA,
                      record.data() + sizes_.cbHeader};
        buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER,
                      record.data() + sizes_.cbHeader + n};
        buffers[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
        if (status != SEC_E_OK) {
            return Fail("A TLS record could not be encrypted", status);
        }
        const std::size_t size = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        output_.insert(output_.end(), record.begin(), record.begin() + size);
        plaintext = plaintext.subspan(n);
    }
}

std::vector<uint8_t> TlsClient::TakeOutput() {
    return std::exchange(output_, {});
}

std::vector<uint8_t> TlsClient::TakePlaintext() {
    return std::exchange(plaintext_, {});
}

std::string TlsClient::Description() const {
    if (!have_context_) {
        return {};
    }
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_CONNECTION_INFO,
                                &info) != SEC_E_OK) {
        return {};
    }
    std::string version = "TLS (" + Hex(static_cast<long>(info.dwProtocol)) + ")";
    if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) {
        version = "TLS 1.2";
    } else if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) {
        version = "TLS 1.3";
    }
    return version + ", cipher " + Hex(static_cast<long>(info.aiCipher)) + " (" +
           std::to_string(info.dwCipherStrength) + " bits)";
}

}  // namespace talviewer

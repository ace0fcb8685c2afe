// Where both viewers find the operator's credentials, and whether a file's contents can be them,
// without any I/O: the front end reads the environment and the file (Qt's main.cpp, the Win32
// viewer's), and these pure functions say which path to read and what is wrong with it.
//
// The file is the one `talpki operator DIR NAME` writes: the operator's private key and client
// certificate, PEM, unencrypted. It signs the directory server's challenge (common/
// operator_proof.h) and is the TLS client certificate a machine may ask for.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talviewer {

// Names the operator's file, when set and not empty; otherwise the per-user place below.
inline constexpr std::string_view kOperatorVariable = "TALVIEWER_OPERATOR";
inline constexpr std::string_view kOperatorFileName = "operator.pem";
// Larger than this is not an operator's key and certificate.
inline constexpr std::size_t kMaxOperatorFile = 64 * 1024;

// The variables the place depends on, as the process has them (nullopt: not set).
struct OperatorEnvironment {
    std::optional<std::string> operator_file;    // TALVIEWER_OPERATOR
    std::optional<std::string> xdg_config_home;  // POSIX
    std::optional<std::string> home;             // POSIX
    std::optional<std::string> appdata;          // Windows: %APPDATA%
};

enum class OperatorPlatform { kPosix, kWindows };

struct OperatorFilePlace {
    // The file to read; empty when there is nowhere to look (no HOME, no APPDATA).
    std::string path;
    // The sentence for SessionSetup::no_credentials when nothing is at `path`.
    std::string missing;
};

// TALVIEWER_OPERATOR if set and not empty; else $XDG_CONFIG_HOME/talviewer/operator.pem, with
// $HOME/.config for an XDG_CONFIG_HOME that is unset, empty or relative (as the XDG base
// directory rules say); on Windows %APPDATA%\talviewer\operator.pem.
OperatorFilePlace OperatorFile(const OperatorEnvironment& env, OperatorPlatform platform);

// Why `pem`, read from `path`, cannot be the operator's credentials, as a sentence; nullopt if
// it holds exactly one certificate and one private key, unencrypted. Whether the key belongs to
// the certificate takes cryptography: the front end checks that with the TLS library.
std::optional<std::string> WhyNotOperatorPem(std::string_view pem, std::string_view path);

}  // namespace talviewer

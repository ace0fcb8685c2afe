// The certificates of a test deployment, made by talpki (TALPKI_PATH) on first use as an
// administrator makes them, for the tests of the operator proof, the directory server and
// talagent: "ca/..." from the deployment's CA, "other/..." from a CA it does not trust. Also
// whether talpki takes a name, for the tests that hold talpki to the programs' name rules.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace test_pki {

namespace fs = std::filesystem;

// The folder the certificates are made in, removed when the test program ends.
inline const fs::path& Folder() {
    static const struct Dir {
        fs::path path = fs::temp_directory_path() / ("test-pki-" + std::to_string(getpid()));
        ~Dir() { fs::remove_all(path); }
    } dir;
    return dir.path;
}

// Runs talpki with `args` in Folder(); its exit status.
inline int Talpki(const std::string& args) {
    fs::create_directories(Folder());
    return std::system(
        ("cd '" + Folder().string() + "' && sh '" TALPKI_PATH "' " + args + " 2>/dev/null")
            .c_str());
}

// `file` of the deployment, made first if need be. A ".crt" comes with its ".pem".
inline fs::path Pki(const std::string& file) {
    struct Recipe {
        const char* needs;  // made first; "" for the file's own CA
        const char* made_by;
    };
    static const std::map<std::string, Recipe> kRecipes = {
        {"ca/ca.pem", {"", "ca ca"}},
        {"ca/agents/pc-1.pem", {"", "agent ca pc-1"}},
        {"ca/servers/localhost.pem", {"", "server ca localhost 127.0.0.1"}},
        {"ca/servers/elsewhere.example.pem", {"", "server ca elsewhere.example"}},
        {"ca/operators/alice.pem", {"", "operator ca alice"}},
        {"ca/operators/bob.pem", {"", "operator ca bob"}},
        {"ca/operators/carol.pem", {"", "operator ca carol"}},
        {"ca/crl.pem", {"ca/operators/carol.pem", "revoke ca carol"}},  // carol is revoked
        {"other/ca.pem", {"", "ca other"}},
        {"other/operators/mallory.pem", {"", "operator other mallory"}},
        {"other/servers/localhost.pem", {"", "server other localhost 127.0.0.1"}},
        {"other/crl.pem", {"", "crl other"}},
    };
    const fs::path path = Folder() / file;
    if (!fs::exists(path)) {
        std::string key = file;
        if (key.ends_with(".crt"))
            key.replace(key.size() - 4, 4, ".pem");
        const Recipe& recipe = kRecipes.at(key);
        const std::string ca = file.substr(0, file.find('/')) + "/ca.pem";
        if (*recipe.needs || file != ca)
            Pki(*recipe.needs ? recipe.needs : ca);
        EXPECT_EQ(Talpki(recipe.made_by), 0) << recipe.made_by;
    }
    return path;
}

// The bytes of Pki(file).
inline std::string Pem(const std::string& file) {
    std::ifstream in(Pki(file), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Whether talpki's `kind` command ("agent", "operator") takes `name`. talpki checks the name
// before it looks for the CA, so "no CA" means it took the name.
inline bool TalpkiTakes(const std::string& kind, const std::string& name) {
    std::string quoted = "'";
    for (const char c : name)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const std::string command =
        "sh " TALPKI_PATH " " + kind + " /nonexistent/pki " + quoted + "' 2>&1";
    FILE* out = popen(command.c_str(), "r");
    std::string text;
    for (char buffer[256]; out && std::fgets(buffer, sizeof buffer, out);)
        text += buffer;
    if (out)
        pclose(out);
    return text.find("no CA in") != std::string::npos;
}

}  // namespace test_pki

// Stands in for the viewer in the launch tests: appends its argv, in the
// stand-in viewers' record format (src/viewer/arguments.h), to the file
// "viewer-record" beside its own executable. When a file "hold" lies beside
// the executable, it then waits (at most 30 s) for a file "release".
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "viewer/arguments.h"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string error =
        talviewer::AppendRecord(dir / "viewer-record", talviewer::Argv(argv, argv + argc));
    if (!error.empty())
        std::fprintf(stderr, "fake viewer: %s\n", error.c_str());
    for (int i = 0; i < 3000 && fs::exists(dir / "hold") && !fs::exists(dir / "release"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return error.empty() ? 0 : 1;
}

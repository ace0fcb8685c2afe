// Stands in for the viewer: records how it was started and, when told to,
// stays running for a while.
//
// Each run writes its argv, every argument followed by a NUL byte, to
// viewer-runs/<pid>.argv beside its own executable (written under another
// name first, so a reader never sees half a record). When a file "hold" lies
// beside the executable, it then waits (at most 30 s) for a file "release".
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

std::string OwnDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string p(path, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = OwnDirectory();
    const std::string runs = dir + "/viewer-runs";
    mkdir(runs.c_str(), 0755);
    const std::string record = runs + "/" + std::to_string(getpid()) + ".argv";
    const std::string partial = record + ".partial";
    FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr)
        return 1;
    for (int i = 0; i < argc; ++i)
        std::fwrite(argv[i], 1, std::string(argv[i]).size() + 1, out);
    std::fclose(out);
    std::rename(partial.c_str(), record.c_str());

    if (Exists(dir + "/hold")) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!Exists(dir + "/release") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// Stands in for the viewer: writes its argv, every argument followed by a NUL
// byte, to viewer-runs/<pid> beside its own executable (written elsewhere
// first, so a reader never sees half a record). When a file "hold" lies
// beside the executable, it then waits (at most 30 s) for a file "release".
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string pid = std::to_string(getpid());
    std::ofstream out(dir / pid, std::ios::binary);
    for (int i = 0; i < argc; ++i)
        out << argv[i] << '\0';
    out.close();
    fs::create_directories(dir / "viewer-runs");
    fs::rename(dir / pid, dir / "viewer-runs" / pid);
    for (int i = 0; i < 3000 && fs::exists(dir / "hold") && !fs::exists(dir / "release"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

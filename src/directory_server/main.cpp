// directory-server: tells the launcher which machines can be reached. Reads the command line
// (options.h), then runs the server (server.h) until a stop signal; a failure to start is logged
// and ends the process with status 1, a bad command line with status 2.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "directory_server/log.h"
#include "directory_server/options.h"
#include "directory_server/server.h"

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const dirsrv::ParsedOptions parsed = dirsrv::ParseOptions(args);
    if (parsed.help) {
        std::fputs(dirsrv::Usage().c_str(), stdout);
        return 0;
    }
    if (parsed.version) {
        std::fputs(dirsrv::Version().c_str(), stdout);
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "directory-server: %s\nTry 'directory-server --help'.\n",
                     parsed.error.c_str());
        return 2;
    }
    dirsrv::Server server(*parsed.options);
    if (const std::string error = server.Open(); !error.empty()) {
        dirsrv::Log(dirsrv::Level::Error, error);
        return 1;
    }
    server.Run();
    return 0;
}

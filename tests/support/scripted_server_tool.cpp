// The scripted directory server as a program, for tests that drive the real
// launcher binary. It listens on 127.0.0.1 at a free port, writes the port to
// a file, answers every request "server" with one fixed reply and logs, one
// line each, with the wall-clock time in nanoseconds:
//   <ns> open <connection>
//   <ns> request <connection>
//   <ns> close <connection>        (the client closed it)
// It runs until SIGTERM or SIGINT.
//
//   scripted_server_tool PORT_FILE LOG_FILE REPLY
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "support/scripted_server.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void Stop(int) {
    g_stop = 1;
}

long long WallNanoseconds(std::chrono::steady_clock::time_point t) {
    // The log speaks wall-clock time, so that a shell script can set it
    // against its own `date +%s%N`.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long wallNow = now.tv_sec * 1000000000LL + now.tv_nsec;
    const auto age = std::chrono::steady_clock::now() - t;
    return wallNow - std::chrono::duration_cast<std::chrono::nanoseconds>(age).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT_FILE LOG_FILE REPLY\n", argv[0]);
        return 2;
    }
    signal(SIGTERM, Stop);
    signal(SIGINT, Stop);
    signal(SIGPIPE, SIG_IGN);

    test_support::ScriptedServer server(test_support::ReplyToEveryRequest(argv[3]));
    FILE* log = std::fopen(argv[2], "w");
    if (log == nullptr)
        return 1;
    {
        const std::string portFile = argv[1];
        const std::string partial = portFile + ".partial";
        FILE* port = std::fopen(partial.c_str(), "w");
        if (port == nullptr)
            return 1;
        std::fprintf(port, "%u\n", static_cast<unsigned>(server.Port()));
        std::fclose(port);
        std::rename(partial.c_str(), portFile.c_str());
    }

    using Kind = test_support::ScriptedServer::Kind;
    std::size_t logged = 0;
    std::map<int, std::string> streams;
    while (g_stop == 0) {
        const auto events = server.Events();
        for (; logged < events.size(); ++logged) {
            const auto& e = events[logged];
            const long long ns = WallNanoseconds(e.time);
            switch (e.kind) {
                case Kind::Open:
                    std::fprintf(log, "%lld open %d\n", ns, e.connection);
                    break;
                case Kind::Data: {
                    std::string& stream = streams[e.connection];
                    stream += e.bytes;
                    std::size_t at;
                    while ((at = stream.find("server")) != std::string::npos) {
                        stream.erase(0, at + 6);
                        std::fprintf(log, "%lld request %d\n", ns, e.connection);
                    }
                    break;
                }
                case Kind::ClosedByClient:
                    std::fprintf(log, "%lld close %d\n", ns, e.connection);
                    break;
                case Kind::ClosedByServer:
                    break;
            }
        }
        std::fflush(log);
        usleep(5000);
    }
    std::fclose(log);
    return 0;
}

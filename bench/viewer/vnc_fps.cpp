// The comparison client of the session benchmark: libvncclient, as packaged viewers built on it
// use it, asks the directory server for a session with NAME ("view NAME", then "ok"), hands
// it the connection and counts the framebuffer updates it decodes. It draws nothing.
// Prints the same lines as talviewer with TALVIEWER_TIMING=1 (src/viewer/qt/timing.h):
//
//   ok MS              the server's "ok": the session is paired with x11vnc
//   first-frame MS     the first update decoded, MS after the process started (10 ms steps)
//   fps N              each second after that, for SECONDS seconds; then it exits 0
//
//   bench_vnc_fps ADDRESS PORT NAME SECONDS
//
// Same pixel format and encodings as the RFB core offers (ZRLE, Hextile, CopyRect, Raw, the
// cursor shape), plain RFB only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rfb/rfbclient.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

long g_updates = 0;

double BootTimeMs() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// As talviewer measures it: field 22 of /proc/self/stat, counted from the last ')'.
double ProcessStartMs() {
    std::ifstream file("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    return std::strtod(field.c_str(), nullptr) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void Counted(rfbClient* /*client*/) {
    ++g_updates;
}

void Quiet(const char* /*format*/, ...) {}

// "view NAME\n" and the answer line; the socket then carries RFB.
int OpenSession(const char* address, int port, const std::string& name) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, address, &to.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("bench_vnc_fps: connect");
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string request = "view " + name + "\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return -1;
    }
    std::string line;
    char c = 0;
    while (line.size() < 200 && read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    if (line != "ok") {
        std::fprintf(stderr, "bench_vnc_fps: the server answered \"%s\"\n", line.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_vnc_fps ADDRESS PORT NAME SECONDS\n");
        return 2;
    }
    const double start = ProcessStartMs();
    const int seconds = std::atoi(argv[4]);
    const int fd = OpenSession(argv[1], std::atoi(argv[2]), argv[3]);
    if (fd < 0) {
        return 1;
    }
    // The server answers once the agent's x11vnc has connected to it.
    std::printf("ok %.0f\n", start < 0 ? -1 : BootTimeMs() - start);
    if (!std::getenv("BENCH_VERBOSE")) {
        rfbClientLog = Quiet;
    }
    rfbClient* client = rfbGetClient(8, 3, 4);
    client->sock = fd;
    client->format.redShift = 16;  // 0x00RRGGBB, as the core asks for
    client->format.greenShift = 8;
    client->format.blueShift = 0;
    client->appData.encodingsString = "zrle hextile copyrect raw";
    client->appData.useRemoteCursor = TRUE;
    client->FinishedFrameBufferUpdate = Counted;
    bool ok = InitialiseRFBConnection(client);
    if (ok) {
        // What rfbInitClient does after the handshake.
        client->width = client->si.framebufferWidth;
        client->height = client->si.framebufferHeight;
        // The area its own requests after each update ask for (rfbInitClient sets it too).
        client->updateRect.x = 0;
        client->updateRect.y = 0;
        client->updateRect.w = client->width;
        client->updateRect.h = client->height;
        ok = client->MallocFrameBuffer(client) && SetFormatAndEncodings(client) &&
             SendFramebufferUpdateRequest(client, 0, 0, client->width, client->height, FALSE);
    }
    double second_end = 0;
    int seconds_done = -1;  // -1: no frame yet
    while (ok && seconds_done < seconds) {
        const int ready = WaitForMessage(client, 50000);
        if (ready < 0) {
            ok = false;
            break;
        }
        // libvncclient reads ahead: whole messages may wait in its buffer with nothing more
        // on the socket, and its WaitForMessage looks at the socket only.
        if (ready > 0 || client->buffered > 0) {
            ok = HandleRFBServerMessage(client);
        }
        const double now = BootTimeMs();
        if (seconds_done < 0 && g_updates > 0) {
            std::printf("first-frame %.0f\n", start < 0 ? -1 : now - start);
            std::fflush(stdout);
            g_updates = 0;
            seconds_done = 0;
            second_end = now + 1000;
        } else if (seconds_done >= 0 && now >= second_end) {
            std::printf("fps %ld\n", g_updates);
            std::fflush(stdout);
            g_updates = 0;
            ++seconds_done;
            second_end += 1000;
        }
    }
    rfbClientCleanup(client);
    if (!ok) {
        std::fprintf(stderr, "bench_vnc_fps: the session failed\n");
        return 1;
    }
    return 0;
}

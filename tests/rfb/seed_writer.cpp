// Writes the RFB fuzzers' seed corpus (fuzz/corpus/rfb_client, fuzz/corpus/rfb_handshake): small
// valid streams per encoding and per handshake. Run by hand when the wire format of the seeds
// should change:  rfb_seed_writer SOURCE_DIR
#include <fstream>
#include <iostream>
#include <string>

#include "rfb_stream.h"

using namespace rfbtest;

namespace {

void Write(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes Client(uint8_t cut, const Bytes& messages) {
    Bytes b{cut};
    Append(b, messages);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: rfb_seed_writer SOURCE_DIR\n";
        return 2;
    }
    const std::string client_dir = std::string(argv[1]) + "/fuzz/corpus/rfb_client/";
    const std::string handshake_dir = std::string(argv[1]) + "/fuzz/corpus/rfb_handshake/";
    const Image img = MakeDesktop(64, 48, 7);
    const Area area{3, 2, 40, 30};
    auto update = [](const Bytes& rect) {
        Bytes b = UpdateHeader(1);
        Append(b, rect);
        return b;
    };
    ZrleEncoder zrle(ZrleEncoder::Mode::kCycle);
    Write(client_dir + "raw", Client(0, update(EncodeRaw(img, area))));
    Write(client_dir + "hextile", Client(7, update(EncodeHextile(img, area))));
    Write(client_dir + "zrle", Client(0, update(zrle.Encode(img, {0, 0, 64, 48}))));
    Bytes copy = RectHeader(10, 10, 20, 20, 1);
    Put16(copy, 0);
    Put16(copy, 0);
    Write(client_dir + "copyrect", Client(0, update(copy)));
    Bytes cursor = RectHeader(1, 1, 4, 2, -239);
    for (int i = 0; i < 8; ++i) {
        PutPixel(cursor, 0xff123456);
    }
    Append(cursor, Bytes{0xf0, 0x90});
    Write(client_dir + "cursor", Client(0, update(cursor)));
    Write(client_dir + "resize", Client(0, update(RectHeader(0, 0, 32, 16, -223))));
    Bytes misc{2, 3, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c', 1, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6};
    Write(client_dir + "messages", Client(3, misc));

    auto with_init = [](Bytes b) {
        Append(b, ServerInit(32, 24, "seed"));
        return b;
    };
    Bytes plain{1};
    Append(plain, PlainHandshake38(32, 24));
    Write(handshake_dir + "plain38", plain);
    Bytes vnc33{1};
    Append(vnc33, "RFB 003.003\n");
    Put32(vnc33, 2);
    Append(vnc33, Bytes(16, 7));
    Put32(vnc33, 0);
    Write(handshake_dir + "vncauth33", with_init(vnc33));
    Bytes vencrypt{0};
    Append(vencrypt, "RFB 003.007\n");
    Append(vencrypt, Bytes{2, 2, 19, 0, 2, 0, 2, 0, 0, 1, 4, 0, 0, 1, 5, 1});
    Append(vencrypt, Bytes(16, 9));
    Put32(vencrypt, 0);
    Write(handshake_dir + "vencrypt37", with_init(vencrypt));
    Bytes refused{0};
    Append(refused, "RFB 003.008\n");
    Append(refused, Bytes{1, 2});
    Append(refused, Bytes(16, 1));
    Append(refused, Bytes{0, 0, 0, 1, 0, 0, 0, 3, 'n', 'o', '!'});
    Write(handshake_dir + "refused", refused);
    return 0;
}

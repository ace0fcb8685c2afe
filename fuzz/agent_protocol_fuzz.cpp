// libFuzzer target for what the agent reads from the directory server: the control connection's
// byte stream cut where the input says, every line parsed, and for each `connect` order the
// command lines it would start. Whatever the bytes, an order's fields must keep to their rules
// (ID digits, an operator's name, a plain HOST:PORT), so that nothing of the stream reaches an
// argv in any other shape.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/protocol.h"
#include "agent/session.h"
#include "common/operator_proof.h"

namespace {

void Check(bool holds) {
    if (!holds)
        std::abort();
}

void CheckOrder(const talagent::Message& order) {
    Check(talagent::IsSessionId(order.id));
    Check(order.operator_name.empty() || !opproof::WhyNotAnOperatorName(order.operator_name));
    if (order.target) {
        const auto again = talagent::ParseEndpoint(order.target->ToString());
        Check(again && again->host == order.target->host && again->port == order.target->port);
    }
    talagent::Options options;
    options.x11vnc = "/usr/bin/x11vnc";
    options.ask_program = "/usr/bin/xmessage";
    options.display = ":0";
    const auto x11vnc =
        talagent::X11vncArgv(options, order.id, order.target.value_or(options.server), order.right);
    const auto ask = talagent::AskArgv(options, order.operator_name, order.right);
    // The question is one argument after the options, and no argument starts a new option.
    Check(!ask.back().starts_with("-"));
    Check(std::none_of(x11vnc.begin(), x11vnc.end(), [](const std::string& arg) {
        return arg.find('\0') != std::string::npos || arg.find('\n') != std::string::npos;
    }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The first byte picks the read size, so lines split at every place get exercised.
    const std::size_t chunk = size ? 1 + data[0] % 16 : 1;
    talagent::LineSplitter splitter;
    for (std::size_t at = 0; at < size; at += chunk) {
        for (const auto& line : splitter.Feed(bytes.substr(at, chunk))) {
            Check(line.text.size() <= talagent::kMaxLine);
            Check(line.text.find('\n') == std::string::npos);
            const talagent::Message message = talagent::ParseLine(line.text);
            if (message.kind == talagent::MessageKind::Connect)
                CheckOrder(message);
        }
    }
    return 0;
}

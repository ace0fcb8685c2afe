// Whether the X server of the agent's display is there: checked at start, so that an agent
// outside the graphical session says so at once, and before each session, so that an operator
// who asks for a desktop that has gone (the user logged out, the X server ended) is told so at
// once instead of waiting for the server's time-out. Talks to the X server's socket only (the
// abstract one Linux X servers listen on, then the one in /tmp/.X11-unix): a connection
// accepted means a server runs there.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talagent {

// Why no X server answers on `display` (":N" or ":N.S"), or nothing when one does.
std::optional<std::string> WhyDisplayIsGone(std::string_view display);

}  // namespace talagent

// Starting the remote-desktop viewer for a chosen host.
#pragma once

#include <string>
#include <vector>

inline constexpr char kViewerMarker[] = "TALVERO-VNC";

// The viewer's arguments, in order: the marker, the server's address and
// port as the settings give them, and the host name. Each is one argument,
// passed unchanged, whatever spaces or shell characters it holds.
std::vector<std::string> ViewerArguments(const std::string& serverIp, const std::string& serverPort,
                                         const std::string& hostName);

// Starts the viewer beside the executable with those arguments, without
// waiting for it; a failed start is not reported.
void StartViewer(const std::string& serverIp, const std::string& serverPort,
                 const std::string& hostName);

// Starting the remote-desktop viewer beside the executable for a chosen host.
#include "launcher/launch/viewer_launch.h"

#include "platform/services.h"

std::vector<std::string> ViewerArguments(const std::string& serverIp, const std::string& serverPort,
                                         const std::string& hostName) {
    return {kViewerMarker, serverIp, serverPort, hostName};
}

void StartViewer(const std::string& serverIp, const std::string& serverPort,
                 const std::string& hostName) {
    platform::ShellOpen(platform::PathBesideModule(platform::ViewerFileName()),
                        ViewerArguments(serverIp, serverPort, hostName));
}

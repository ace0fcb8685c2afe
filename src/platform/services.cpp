// The portable half of the OS services: test stand-ins first, then the
// backend. Names derived from the module path are worked out here once.
#include "platform/services.h"

#include "platform/backend.h"
#include "platform/code_page.h"
#include "platform/socket_layer.h"
#include "platform/testing.h"

namespace platform {

namespace {
testing::Hooks& Hooks() {
    return testing::CurrentHooks();
}
}  // namespace

bool StartSocketLayer() {
    if (Hooks().socketLayerStartup)
        return Hooks().socketLayerStartup();
    return sock::Startup();
}

bool StartComponentLayer() {
    if (Hooks().componentLayerStartup)
        return Hooks().componentLayerStartup();
    return backend::StartComponentLayer();
}

void ShowMessageBox(const std::string& text, unsigned int codePage) {
    if (codePage == 0)
        codePage = ActiveCodePage();
    if (Hooks().messageBox) {
        Hooks().messageBox(text, codePage);
        return;
    }
    backend::ShowMessageBox(ApplicationName(), text, codePage);
}

std::string ModuleFileName() {
    if (Hooks().moduleFileName)
        return Hooks().moduleFileName();
    return backend::ModuleFileName();
}

std::string ApplicationName() {
    // Either separator ends the directory part: a Windows path may use both.
    std::string path = ModuleFileName();
    std::string::size_type slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

std::string PathBesideModule(const char* fileName) {
    const std::string module = ModuleFileName();
    const char separator = PathSeparator();
    const std::string::size_type cut = module.rfind(separator);
    std::string path = cut == std::string::npos ? std::string() : module.substr(0, cut);
    path += separator;
    path += fileName;
    return path;
}

const char* ViewerFileName() {
    static const std::string name = std::string("talviewer") + ExecutableSuffix();
    return name.c_str();
}

void ExitProcess(int status) {
    backend::ExitProcess(status);
}

void Sleep(unsigned int milliseconds) {
    if (Hooks().sleep) {
        Hooks().sleep(milliseconds);
        return;
    }
    backend::Sleep(milliseconds);
}

void ShellOpen(const std::string& file, const std::vector<std::string>& arguments) {
    backend::ShellOpen(file, arguments);
}

}  // namespace platform

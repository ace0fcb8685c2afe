// The operator's screenshot of a session, the same in both viewers: the desktop as a PNG file
// (written here with zlib, which the RFB core links anyway, so neither front end needs an image
// library of its own) and the name the file is offered under.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "rfb/framebuffer.h"

namespace talviewer {

// The framebuffer as a PNG image (8-bit RGB, no alpha), whole.
std::vector<uint8_t> EncodePng(const rfb::Framebuffer& framebuffer);

// "NAME YYYY-MM-DD HH.MM.SS.png" for the machine NAME at `local` time, with every character a
// file system refuses somewhere (Windows' reserved ones, control bytes, a leading dot) as '_'.
std::string ScreenshotFileName(std::string_view machine, const std::tm& local);

}  // namespace talviewer

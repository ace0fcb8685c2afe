// The Windows headers, for the files of this backend only, included before
// any header of the platform layer.
//
// The layer speaks Windows' vocabulary, so a few of its names are also
// names in the SDK:
//   - The SDK maps SendMessage, SetWindowText, GetWindowText and
//     CreateFontIndirect to their ANSI functions with macros; those would
//     rename the layer's member functions in this backend alone, so they are
//     undefined here and the backend calls the ...A functions by name.
// The constants in platform/types.h are guarded, so the SDK's definitions
// (identical in value) win.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <winsock.h>

#undef SendMessage
#undef SetWindowText
#undef GetWindowText
#undef CreateFontIndirect
#undef LoadIcon

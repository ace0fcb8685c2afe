// The system metrics behind the layer's GetSystemMetrics, which shares its
// name with the user32 function (see win_includes.h).
#pragma once

namespace platform::win32 {

int SystemMetric(int index);

}  // namespace platform::win32

// The layer's GetSystemMetrics. This file includes no SDK header: with one,
// the name would be user32's C function rather than the layer's.
#include "platform/win32/metrics.h"

#include "platform/dialog.h"

int GetSystemMetrics(int index) {
    return platform::win32::SystemMetric(index);
}

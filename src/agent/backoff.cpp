// The reconnection back-off (see backoff.h).
#include "agent/backoff.h"

#include <algorithm>

namespace talagent {

std::chrono::milliseconds RetryWait(std::chrono::milliseconds min_wait,
                                    std::chrono::milliseconds max_wait, int failures,
                                    std::mt19937_64& random) {
    const long long min = min_wait.count(), max = max_wait.count();
    long long base = min;
    for (int i = 0; i < failures && base < max; ++i)
        base *= 2;
    base = std::min(base, max);
    return std::chrono::milliseconds(
        std::uniform_int_distribution<long long>(std::max(min, base / 2), base)(random));
}

}  // namespace talagent

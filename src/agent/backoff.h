// How long the agent waits before it connects to the directory server again: exponential
// back-off with jitter, the same on Linux and Windows (agent.cpp, win32/control.cpp).
#pragma once

#include <chrono>
#include <random>

namespace talagent {

// The wait after `failures` failed attempts in a row (0 for the first): the base doubles per
// failure from `min` up to `max`, and the wait is drawn from its upper half, so that agents
// dropped together do not return together. Never below `min` nor above `max`.
std::chrono::milliseconds RetryWait(std::chrono::milliseconds min, std::chrono::milliseconds max,
                                    int failures, std::mt19937_64& random);

}  // namespace talagent

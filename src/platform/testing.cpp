#include "platform/testing.h"

namespace platform::testing {

Hooks& CurrentHooks() {
    static Hooks hooks;
    return hooks;
}

void ResetHooks() {
    CurrentHooks() = Hooks{};
}

}  // namespace platform::testing

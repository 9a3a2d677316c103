#pragma once
// The code of the CTError an action throws, for checks of the recorder's
// error codes.

#include <functional>

#include "core/CTError.h"

namespace wk::test {

// 0 when the action throws nothing.
inline int CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CTError& e) {
        return e.GetCode();
    }
    return 0;
}

}  // namespace wk::test

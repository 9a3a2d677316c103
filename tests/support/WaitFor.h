#pragma once
// Waiting in tests for what another thread or process does.

#include <chrono>
#include <functional>

namespace wk::test {

// Polls `done` until it holds; false once `limit` of real time has passed.
// The limit is a bound for slow machines, never a measure of correctness.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace wk::test

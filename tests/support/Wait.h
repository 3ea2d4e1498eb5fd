#pragma once
// The bounded wait of the tests: check a condition until it holds or the
// time is up, doing something short in between (a pause, or handling the
// events of a Qt program).

#include <functional>

namespace VelmoraTest {

// Checks `done` until it holds or `timeoutMs` has passed, running `between`
// after each miss (a 5 ms pause when empty); returns whether it held.
bool WaitFor(const std::function<bool()> &done, int timeoutMs = 10000,
             const std::function<void()> &between = {});

// The same, handling Qt events between the checks.
bool PumpUntil(const std::function<bool()> &done, int timeoutMs);

} // namespace VelmoraTest

#pragma once
// The wait of the user-interface tests: runs the thread's event loop until `done` holds or
// `timeoutMs` passed, and says which. A GoogleTest case asserts on the result (QTRY_* macros
// cannot fail a GoogleTest case).

#include <functional>

bool UiWaitFor(const std::function<bool()>& done, int timeoutMs = 30000);

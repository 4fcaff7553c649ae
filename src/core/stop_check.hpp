#pragma once
// A caller's check that long computations run between units of work (a tabu
// iteration, a block of exact-window nodes). It stops the computation by
// throwing, which leaves nothing behind; a check that returns changes no
// result. An empty check is never run.
#include <functional>

namespace quarnel {

using StopCheck = std::function<void()>;

}  // namespace quarnel

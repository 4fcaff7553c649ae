#pragma once
// dot8 of one vector against four others at once. Each of the four results
// runs through exactly the operations of dot8 (own accumulators, same
// reduction, same tail), so the bits are identical; sharing the loads of `a`
// is what makes it faster.
#include <cstddef>

namespace quarnel {

void dot8_four(const float* a, const float* const b[4], std::size_t n, float out[4]);

}  // namespace quarnel

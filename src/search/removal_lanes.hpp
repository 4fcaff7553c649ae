#pragma once
// The redundancy sums of a batch of single removals, one lane per removal:
// lane k sums the off-diagonal entries of an m x m matrix in row-major order,
// leaving out row and column positions[k], exactly as the f32 score does on
// the reduced selection. One kernel per instruction set, equal bit for bit.
#include <cstddef>
#include <cstdint>
#include <utility>

namespace quarnel {

struct RemovalLanes {
  const float* similarity;  // m x m
  std::size_t m;
  const std::size_t* positions;  // one per lane, distinct, below m
  std::size_t count;
  // The positions in ascending order, each with its lane.
  const std::pair<std::size_t, std::size_t>* skips;
  const std::uint8_t* batch_row;  // m flags: 1 where a lane's row is left out
};

inline constexpr std::size_t kRemovalLanesSse2 = 32;
inline constexpr std::size_t kRemovalLanesAvx2 = 64;

void removal_lane_sums_sse2(const RemovalLanes& batch, float* sums);

namespace avx2 {
void removal_lane_sums(const RemovalLanes& batch, float* sums);
}

}  // namespace quarnel

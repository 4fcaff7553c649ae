#pragma once
// Helpers shared by the move-scoring caches: one query-token row's best
// coverage values among the selected candidates, and the support they give.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/move_scoring.hpp"
#include "core/objective.hpp"
#include "core/panic.hpp"

namespace quarnel::rows {

// Indices whose byte is non-zero, or equal to 1 when `only_ones` is set.
inline std::vector<std::size_t> selection_of(const SelectionMask& mask, std::size_t n, bool only_ones) {
  check_length(mask.size(), n, "selection mask");
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < n; ++i)
    if (only_ones ? mask[i] == 1 : mask[i] != 0) selected.push_back(i);
  return selected;
}

// Support of a list of f32 coverage values, in f64 arithmetic.
inline double support_of(const TopFour<float>& top, std::uint64_t quorum, const SupportParams& params) {
  TopFour<double> wide;
  for (int s = 0; s < 4; ++s) wide.v[s] = top.v[s];
  return support_f64(wide, quorum, params);
}

// One row's top four with the holders of the first three slots.
struct HeldTop {
  TopFour<float> top;
  std::uint32_t holder[3] = {kNoHolder, kNoHolder, kNoHolder};
  std::uint64_t quorum = 0;

  void insert(float c, std::uint32_t who) {
    switch (top.insert(c)) {
      case 0:
        holder[2] = holder[1], holder[1] = holder[0], holder[0] = who;
        break;
      case 1:
        holder[2] = holder[1], holder[1] = who;
        break;
      case 2:
        holder[2] = who;
        break;
      default:
        break;
    }
  }
};

inline HeldTop held_top(const float* row, std::span<const std::size_t> selected, float threshold) {
  HeldTop h;
  for (std::size_t k : selected) {
    const float c = row[k];
    if (c >= threshold) ++h.quorum;
    h.insert(c, static_cast<std::uint32_t>(k));
  }
  return h;
}

// The list after removing the value of `slot` (0..2): the lower values move up
// one slot and the last slot becomes 0.
inline TopFour<float> without_slot(const TopFour<float>& top, int slot) {
  TopFour<float> out = top;
  for (int s = slot; s < 3; ++s) out.v[s] = top.v[s + 1];
  out.v[3] = 0.0f;
  return out;
}

// The slot held by `who`, or -1.
inline int held_slot(const std::uint32_t* holders, std::size_t who) {
  for (int s = 0; s < 3; ++s)
    if (holders[s] == who) return s;
  return -1;
}

}  // namespace quarnel::rows

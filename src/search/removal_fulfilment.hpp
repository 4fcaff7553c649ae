#pragma once
// The query-token fulfilment of a selection and of the selection with any one
// chunk left out, in f32 and equal bit for bit to the objective's: O(rows) a
// removal after an O(rows x m) start.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/objective.hpp"
#include "core/problem_view.hpp"

namespace quarnel {

class RemovalFulfilment {
 public:
  RemovalFulfilment(const ProblemView& view, std::span<const std::size_t> selected);

  // The fulfilment without the chunk at `position` of the selection.
  float without(std::size_t position) const;

  // The fulfilment of the whole selection.
  float whole() const;

 private:
  // The five largest coverage values of a row (with the zeros every row
  // starts from) and its quorum count: what any one removal leaves is then
  // known without a rescan, since the four best values of a set do not depend
  // on the order in which they were inserted.
  struct RowTop {
    float v[5] = {0, 0, 0, 0, 0};
    std::uint64_t quorum = 0;
    float weight = 1.0f;
    void insert(float c);
  };

  SupportParams params_;
  std::size_t m_;
  std::size_t rows_ = 0;
  std::vector<float> coverage_;  // rows x m
  std::vector<RowTop> rows_top_;
};

}  // namespace quarnel

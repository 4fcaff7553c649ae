#include "search/exact_window_bound.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include <emmintrin.h>

#include "core/constraints.hpp"
#include "core/objective.hpp"
#include "core/panic.hpp"

namespace quarnel {
namespace {

constexpr double kUnit = 1.0 / 16777216.0;  // f32 unit roundoff, 2^-24
constexpr std::size_t kMaxRelevant = 10;   // entries per row that can reach its four best

// Error factor of a recursive f32 sum of k terms (times their absolute sum).
double gamma(double k) { return k * kUnit / (1.0 - k * kUnit); }

bool finite(float x) { return std::isfinite(x); }

}  // namespace

WindowBound::WindowBound(const SearchContext& ctx, std::span<const std::size_t> fixed,
                         std::span<const std::size_t> window)
    : w_(window.size()) {
  Walker& start = start_;
  start.bound_ = this;
  const ProblemView& view = ctx.view;
  const ProblemInstance& instance = ctx.instance;
  const PreparedConstraints& c = ctx.constraints;
  const ObjectiveWeights& weights = ctx.weights;
  const std::size_t n = view.n;
  require(w_ < 64, "window too large for a subset code");
  for (std::size_t i : fixed) check_index(i, n, "fixed index");
  for (std::size_t i : window) check_index(i, n, "window index");
  for (float x : weights)
    if (!finite(x)) return;

  // ---- feasibility ----
  max_tokens_ = c.max_tokens, min_tokens_ = c.min_tokens, min_chunks_ = c.min_chunks, max_chunks_ = c.max_chunks;
  cap_ = c.max_per_cluster;
  for (Role role : c.must_include_roles) required_roles_ |= 1u << role_slot(role);
  start.cluster_counts_.assign(c.cluster_id_of_slot.size(), 0);
  start.id_counts_.assign(c.id_slot_count, 0);
  id_required_.assign(c.id_slot_count, 0);
  for (std::uint32_t slot : c.required_id_slots) {
    if (slot == kNoSlot || slot >= c.id_slot_count) {
      ++start.required_missing_;  // never held
    } else if (!id_required_[slot]) {
      id_required_[slot] = 1;
      ++start.required_missing_;
    }
  }
  auto attributes = [&](std::size_t i) {
    check_index(i, c.cluster_slot.size(), "cluster slot");
    check_index(c.id_slot[i], c.id_slot_count, "chunk id slot");
    if (c.cluster_slot[i] != kNoSlot) check_index(c.cluster_slot[i], start.cluster_counts_.size(), "cluster slot");
  };
  for (std::size_t i : window) {
    attributes(i);
    tokens_.push_back(instance.token_costs[i]);
    role_bit_.push_back(static_cast<std::uint32_t>(role_slot(instance.roles[i])));
    cluster_.push_back(c.cluster_slot[i]);
    id_.push_back(c.id_slot[i]);
    excluded_.push_back(c.is_excluded[i]);
  }
  // Fixed chunks enter through the same bookkeeping as window entries.
  for (std::size_t i : fixed) {
    attributes(i);
    start.enter(instance.token_costs[i], static_cast<std::uint32_t>(role_slot(instance.roles[i])), c.cluster_slot[i],
                c.id_slot[i], c.is_excluded[i], true);
  }

  // ---- objective ----
  check_length(view.similarity.size(), n * n, "similarity matrix");
  const std::span<const float> scores[5] = {view.relevance, view.density, view.centrality, view.recency,
                                            view.auxiliary};
  const int score_weight[5] = {weight::kAlpha, weight::kBeta, weight::kGamma, weight::kDelta, weight::kEpsilon};
  for (const auto& s : scores) check_length(s.size(), n, "score sequence");
  const double lambda_half = 0.5 * static_cast<double>(weights[weight::kLambda]);
  double mass_linear = 0.0, mass_redundancy = 0.0;
  auto linear_of = [&](std::size_t i, double& value) {
    for (int k = 0; k < 5; ++k) {
      const float x = scores[k][i];
      if (!finite(x)) return false;
      const double wx = static_cast<double>(weights[score_weight[k]]) * static_cast<double>(x);
      value += wx;
      mass_linear += std::fabs(wx);
    }
    return true;
  };
  auto sim = [&](std::size_t a, std::size_t b) { return view.similarity[a * n + b]; };
  double& linear = start.linear_;
  for (std::size_t f : fixed) {
    if (!linear_of(f, linear)) return;
    for (std::size_t g : fixed) {
      if (g == f) continue;
      if (!finite(sim(f, g))) return;
      linear -= lambda_half * static_cast<double>(sim(f, g));
      mass_redundancy += std::fabs(lambda_half * static_cast<double>(sim(f, g)));
    }
  }
  single_.assign(w_, 0.0);
  stride_ = w_ + (w_ & 1);
  pair_.assign(w_ * stride_, 0.0);
  start.pair_sum_.assign(stride_, 0.0);
  for (std::size_t j = 0; j < w_; ++j) {
    const std::size_t a = window[j];
    if (!linear_of(a, single_[j])) return;
    for (std::size_t f : fixed) {
      if (!finite(sim(a, f)) || !finite(sim(f, a))) return;
      const double both = static_cast<double>(sim(a, f)) + static_cast<double>(sim(f, a));
      single_[j] -= lambda_half * both;
      mass_redundancy += std::fabs(lambda_half) * (std::fabs(sim(a, f)) + std::fabs(sim(f, a)));
    }
    for (std::size_t k = 0; k < w_; ++k) {
      if (k == j) continue;
      const std::size_t b = window[k];
      if (!finite(sim(a, b))) return;
      pair_[j * stride_ + k] = -lambda_half * (static_cast<double>(sim(a, b)) + static_cast<double>(sim(b, a)));
      mass_redundancy += std::fabs(lambda_half * static_cast<double>(sim(a, b)));
    }
  }

  double mass_fulfilment = 0.0;
  std::size_t max_rows_per_entry = 0;
  std::vector<std::vector<RowEntry>> rows_of_entry(w_);
  const std::size_t rows = view.has_coverage ? view.num_query_tokens : 0;
  if (rows > 0) {
    check_length(view.coverage.size(), rows * n, "coverage matrix");
    const SupportParams params = support_params(weights);
    const double mu = weights[weight::kMu];
    const double support_mass = 1.0 + std::fabs(params.discount) + 1.5 * std::fabs(params.bonus);
    auto widened = [](const TopFour<float>& top) {
      TopFour<double> wide;
      for (int s = 0; s < 4; ++s) wide.v[s] = top.v[s];
      return wide;
    };
    for (std::size_t t = 0; t < rows; ++t) {
      const float* row = view.coverage.data() + t * n;
      const float row_weight = view.query_token_weight(t);
      if (!finite(row_weight)) return;
      const double scale = mu * static_cast<double>(row_weight);
      mass_fulfilment += std::fabs(scale) * support_mass;
      TopFour<float> top;
      std::uint64_t quorum = 0;
      for (std::size_t f : fixed) {
        if (!finite(row[f])) return;
        if (row[f] >= params.threshold) ++quorum;
        top.insert(row[f]);
      }
      // The four best of the union are the four best of the fixed list and
      // of the entries that can enter it; the quorum's class moves only
      // while it is below four.
      std::vector<std::size_t> relevant;
      for (std::size_t j = 0; j < w_; ++j) {
        const float v = row[window[j]];
        if (!finite(v)) return;
        if (v >= top.v[0] || v > top.v[3] || (quorum < 4 && v >= params.threshold)) relevant.push_back(j);
      }
      if (relevant.empty()) {
        start.fulfilment_ += scale * support_f64(widened(top), quorum, params);
        continue;
      }
      if (relevant.size() > kMaxRelevant) return;
      const std::uint32_t active = static_cast<std::uint32_t>(start.row_index_.size());
      start.row_index_.push_back(0);
      row_offset_.push_back(row_terms_.size());
      for (std::size_t r = 0; r < relevant.size(); ++r) {
        rows_of_entry[relevant[r]].push_back(RowEntry{active, 1u << r});
        max_rows_per_entry = std::max(max_rows_per_entry, rows_of_entry[relevant[r]].size());
      }
      for (std::uint32_t sub = 0; sub < (1u << relevant.size()); ++sub) {
        TopFour<float> list = top;
        std::uint64_t q = quorum;
        for (std::size_t r = 0; r < relevant.size(); ++r) {
          if (((sub >> r) & 1u) == 0) continue;
          const float v = row[window[relevant[r]]];
          if (v >= params.threshold) ++q;
          list.insert(v);
        }
        row_terms_.push_back(scale * support_f64(widened(list), q, params));
      }
      start.fulfilment_ += row_terms_[row_offset_.back()];
    }
  }

  entry_rows_.push_back(0);
  for (const auto& entries : rows_of_entry) {
    row_entries_.insert(row_entries_.end(), entries.begin(), entries.end());
    entry_rows_.push_back(row_entries_.size());
  }

  const double m = static_cast<double>(fixed.size() + w_);
  const double mass = mass_linear + mass_fulfilment + mass_redundancy;
  error_ = 1.01 * (gamma(m + 2) * mass_linear + gamma(static_cast<double>(rows) + 8) * mass_fulfilment +
                   gamma(m * m + 2) * mass_redundancy + gamma(8) * mass) +
           1.2e-16 * (m * m + 8 * m + 16 * static_cast<double>(rows) + 64) * mass + 1e-30;
  drift_step_ = 2.3e-16 * mass * static_cast<double>(w_ + 4 + 2 * max_rows_per_entry);
  start.selected_.assign(w_, 0);
  usable_ = std::isfinite(error_) && std::isfinite(start.linear_) && std::isfinite(start.fulfilment_);
}

void WindowBound::Walker::enter(std::uint64_t tokens, std::uint32_t role, std::uint32_t cluster, std::uint32_t id,
                        std::uint8_t excluded, bool on) {
  if (on) {
    total_tokens_ += tokens, ++count_, excluded_count_ += excluded;
    ++role_counts_[role];
    if (cluster != kNoSlot && ++cluster_counts_[cluster] == bound_->cap_ + 1) ++clusters_over_;
    if (++id_counts_[id] == 1 && bound_->id_required_[id]) --required_missing_;
  } else {
    total_tokens_ -= tokens, --count_, excluded_count_ -= excluded;
    --role_counts_[role];
    if (cluster != kNoSlot && cluster_counts_[cluster]-- == bound_->cap_ + 1) --clusters_over_;
    if (--id_counts_[id] == 0 && bound_->id_required_[id]) ++required_missing_;
  }
}

void WindowBound::Walker::flip(std::size_t j) {
  const WindowBound& b = *bound_;
  const bool on = selected_[j] == 0;
  selected_[j] = on ? 1 : 0;
  enter(b.tokens_[j], b.role_bit_[j], b.cluster_[j], b.id_[j], b.excluded_[j], on);
  // pair_ is symmetric, so row j holds every entry's pair term with j; rows
  // are padded to an even length for two-lane updates.
  const std::size_t stride = b.stride_;
  const double* row = b.pair_.data() + j * stride;
  double* sums = pair_sum_.data();
  if (on) {
    linear_ += b.single_[j] + sums[j];
    for (std::size_t k = 0; k < stride; k += 2)
      _mm_storeu_pd(sums + k, _mm_add_pd(_mm_loadu_pd(sums + k), _mm_loadu_pd(row + k)));
  } else {
    for (std::size_t k = 0; k < stride; k += 2)
      _mm_storeu_pd(sums + k, _mm_sub_pd(_mm_loadu_pd(sums + k), _mm_loadu_pd(row + k)));
    linear_ -= b.single_[j] + sums[j];
  }
  const RowEntry* entry = b.row_entries_.data() + b.entry_rows_[j];
  const RowEntry* end = b.row_entries_.data() + b.entry_rows_[j + 1];
  const double* terms = b.row_terms_.data();
  const std::size_t* offsets = b.row_offset_.data();
  std::uint32_t* indices = row_index_.data();
  double change = 0.0;
  for (; entry != end; ++entry) {
    const double* row_terms = terms + offsets[entry->row];
    const std::uint32_t before = indices[entry->row];
    const std::uint32_t after = before ^ entry->bit;
    indices[entry->row] = after;
    change += row_terms[after] - row_terms[before];
  }
  fulfilment_ += change;
  ++flips_;
}

}  // namespace quarnel

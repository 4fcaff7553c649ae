#include "search/tabu_memory.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/panic.hpp"
#include "core/saturating.hpp"

namespace quarnel {
namespace {

// Selections of more chunks than this are recorded in the history rather than
// the pair table: their m(m-1)/2 increments cost more than the history's
// look-ups, which grow by a word every 64 such records.
constexpr std::size_t kLongSelection = 128;

std::uint64_t pair_key(std::size_t a, std::size_t b) {
  if (a > b) std::swap(a, b);
  return (static_cast<std::uint64_t>(a) << 32) | static_cast<std::uint64_t>(b);
}

// floor(0.2 * tenure) in f32, converted with saturation.
std::uint64_t jitter_width(std::uint64_t base) {
  const float width = std::floor(0.2f * static_cast<float>(base));
  constexpr float kTwoTo64 = 18446744073709551616.0f;
  if (!(width > 0.0f)) return 0;
  return width >= kTwoTo64 ? kMaxU64 : static_cast<std::uint64_t>(width);
}

float jaccard(std::uint64_t common, std::uint64_t either) {
  return either == 0 ? 1.0f : static_cast<float>(common) / static_cast<float>(either);
}

}  // namespace

// ---- SipHash-1-3 ----

void SipHasher13::compress(std::uint64_t block) {
  v3_ ^= block;
  v0_ += v1_, v1_ = std::rotl(v1_, 13), v1_ ^= v0_, v0_ = std::rotl(v0_, 32);
  v2_ += v3_, v3_ = std::rotl(v3_, 16), v3_ ^= v2_;
  v0_ += v3_, v3_ = std::rotl(v3_, 21), v3_ ^= v0_;
  v2_ += v1_, v1_ = std::rotl(v1_, 17), v1_ ^= v2_, v2_ = std::rotl(v2_, 32);
  v0_ ^= block;
}

void SipHasher13::write(const std::uint8_t* data, std::size_t length) {
  total_length_ += length;
  std::size_t i = 0;
  while (tail_length_ != 0 && i < length) {
    tail_ |= static_cast<std::uint64_t>(data[i++]) << (8 * tail_length_);
    if (++tail_length_ == 8) compress(tail_), tail_ = 0, tail_length_ = 0;
  }
  for (; i + 8 <= length; i += 8) {
    std::uint64_t block = 0;
    for (int b = 7; b >= 0; --b) block = (block << 8) | data[i + b];
    compress(block);
  }
  for (; i < length; ++i) tail_ |= static_cast<std::uint64_t>(data[i]) << (8 * tail_length_++);
}

void SipHasher13::write_u64(std::uint64_t value) {
  std::uint8_t bytes[8];
  for (int b = 0; b < 8; ++b) bytes[b] = static_cast<std::uint8_t>(value >> (8 * b));
  write(bytes, 8);
}

std::uint64_t SipHasher13::finish() const {
  SipHasher13 s = *this;
  s.compress(s.tail_ | (s.total_length_ << 56));
  s.v2_ ^= 0xff;
  for (int round = 0; round < 3; ++round) {
    s.v0_ += s.v1_, s.v1_ = std::rotl(s.v1_, 13), s.v1_ ^= s.v0_, s.v0_ = std::rotl(s.v0_, 32);
    s.v2_ += s.v3_, s.v3_ = std::rotl(s.v3_, 16), s.v3_ ^= s.v2_;
    s.v0_ += s.v3_, s.v3_ = std::rotl(s.v3_, 21), s.v3_ ^= s.v0_;
    s.v2_ += s.v1_, s.v1_ = std::rotl(s.v1_, 17), s.v1_ ^= s.v2_, s.v2_ = std::rotl(s.v2_, 32);
  }
  return s.v0_ ^ s.v1_ ^ s.v2_ ^ s.v3_;
}

std::uint64_t siphash13(const std::uint8_t* data, std::size_t length) {
  SipHasher13 hasher;
  hasher.write(data, length);
  return hasher.finish();
}

std::uint64_t mask_fingerprint(const SelectionMask& mask) {
  SipHasher13 hasher;
  hasher.write_u64(mask.size());
  hasher.write(mask.data(), mask.size());
  return hasher.finish();
}

std::uint64_t moved_mask_fingerprint(const SelectionMask& mask, std::size_t in, std::size_t out) {
  const std::size_t n = mask.size();
  SipHasher13 hasher;
  hasher.write_u64(n);
  // Hash the mask in pieces, replacing the bytes at the (at most two) moved positions.
  struct Change {
    std::size_t at;
    std::uint8_t byte;
  } changes[2] = {{in == out ? n : out, 0}, {in, 1}};  // setting `in` wins over clearing it
  if (changes[0].at > changes[1].at) std::swap(changes[0], changes[1]);
  std::size_t from = 0;
  for (const Change& c : changes) {
    if (c.at >= n || c.at < from) continue;
    hasher.write(mask.data() + from, c.at - from);
    hasher.write(&c.byte, 1);
    from = c.at + 1;
  }
  hasher.write(mask.data() + from, n - from);
  return hasher.finish();
}

// ---- TabuMemory ----

TabuMemory::TabuMemory(std::uint64_t tenure, std::size_t n, float similarity_threshold)
    : candidate_counts_(n, 0),
      long_records_(n),
      n_(n),
      max_tenure_(saturating_mul(tenure, 3)),
      base_tenure_(tenure),
      current_tenure_(tenure),
      similarity_threshold_(similarity_threshold) {
  // Pair keys pack two indices into 32 bits each.
  require(n <= 0xFFFFFFFFull, "too many candidates for the tabu memory");
}

void TabuMemory::clear() {
  ++revision_;
  ring_.clear();
  iteration_ = 0;
  std::fill(candidate_counts_.begin(), candidate_counts_.end(), 0);
  pair_counts_.clear();
  long_records_.clear();
  cluster_counts_.clear();
}

std::uint64_t TabuMemory::pair_count(std::size_t a, std::size_t b) const {
  return pair_counts_.get(pair_key(a, b)) + long_records_.together(a, b);
}

std::uint64_t TabuMemory::cluster_count(std::int32_t cluster) const {
  const auto it = cluster_counts_.find(cluster);
  return it == cluster_counts_.end() ? 0 : it->second;
}

std::uint64_t TabuMemory::advance_iteration() {
  ++iteration_;
  while (!ring_.empty() && iteration_ - ring_.front().stamp > max_tenure_) ring_.pop_front();
  return iteration_;
}

void TabuMemory::record_move(const SelectionMask& mask, std::size_t added, std::size_t removed,
                             const ProblemInstance& instance) {
  check_length(mask.size(), n_, "selection mask");
  check_length(instance.cluster_ids.size(), n_, "cluster ids");
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < n_; ++i)
    if (mask[i] != 0) selected.push_back(i);

  ++revision_;
  const std::uint64_t fingerprint = mask_fingerprint(mask);
  ring_.push_back(TabuRecord{mask, added, removed, fingerprint, iteration_, selected.size()});

  // The tenure wanders deterministically around its base with the solution.
  const std::uint64_t width = jitter_width(base_tenure_);
  if (width > 0) {
    const std::uint64_t low = base_tenure_ >= width ? base_tenure_ - width : 0;
    current_tenure_ = low + (fingerprint + iteration_) % (2 * width + 1);
  }

  for (std::size_t i : selected) ++candidate_counts_[i];
  if (selected.size() > kLongSelection) {
    long_records_.record(selected);
  } else {
    for (std::size_t a = 0; a < selected.size(); ++a)
      for (std::size_t b = a + 1; b < selected.size(); ++b) pair_counts_.increment(pair_key(selected[a], selected[b]));
  }
  for (std::size_t i : selected)
    if (instance.cluster_ids[i] >= 0) ++cluster_counts_[instance.cluster_ids[i]];

  while (ring_.size() > max_tenure_) ring_.pop_front();
}

double TabuMemory::memory_penalty(const SelectionMask& mask, const ProblemInstance& instance) const {
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < mask.size(); ++i)
    if (mask[i] != 0) selected.push_back(i);
  if (selected.empty()) return 0.0;
  check_length(instance.cluster_ids.size(), mask.size(), "cluster ids");
  std::uint64_t frequency = 0, cluster = 0, pairs = 0;
  for (std::size_t k = 0; k < selected.size(); ++k) {
    const std::size_t i = selected[k];
    if (i < candidate_counts_.size()) frequency += candidate_counts_[i];
    if (instance.cluster_ids[i] >= 0) cluster += cluster_count(instance.cluster_ids[i]);
    for (std::size_t j = 1; j <= 8 && k + j < selected.size(); ++j) pairs += pair_count(i, selected[k + j]);
  }
  return 0.004 * static_cast<double>(cluster) + 0.005 * static_cast<double>(frequency) +
         0.003 * static_cast<double>(pairs);
}

bool TabuMemory::is_tabu(const SelectionMask& after, std::size_t added, std::size_t removed) const {
  bool tabu = false;
  for_each_recent([&](const TabuRecord& r) { tabu = tabu || (r.added == removed && r.removed == added); });
  if (tabu) return true;
  const std::uint64_t fingerprint = mask_fingerprint(after);
  for_each_recent([&](const TabuRecord& r) {
    if (tabu) return;
    if (r.fingerprint == fingerprint) {
      tabu = true;
      return;
    }
    if (!(similarity_threshold_ > 0.0f)) return;
    std::uint64_t common = 0, either = 0;
    const std::size_t length = std::min(after.size(), r.mask.size());
    for (std::size_t i = 0; i < length; ++i) {
      common += after[i] != 0 && r.mask[i] != 0;
      either += after[i] != 0 || r.mask[i] != 0;
    }
    for (std::size_t i = length; i < after.size(); ++i) either += after[i] != 0;
    for (std::size_t i = length; i < r.mask.size(); ++i) either += r.mask[i] != 0;
    tabu = jaccard(common, either) >= similarity_threshold_;
  });
  return tabu;
}

// ---- MoveMemory ----

void MoveMemory::prepare(const TabuMemory& memory, const SelectionMask& current,
                         std::span<const std::size_t> selected, std::span<const std::size_t> incoming,
                         const ProblemInstance& instance) {
  const std::size_t n = memory.candidate_count();
  check_length(current.size(), n, "selection mask");
  check_length(instance.cluster_ids.size(), n, "cluster ids");
  memory_ = &memory;
  current_ = &current;
  n_ = n;
  m_ = selected.size();
  selected_.assign(selected.begin(), selected.end());
  revision_ = memory.revision();
  threshold_ = memory.similarity_threshold();
  // An identical solution has Jaccard 1, so with a threshold in (0, 1] equal
  // fingerprints add nothing and no per-move hash is needed.
  jaccard_decides_ = threshold_ > 0.0f && threshold_ <= 1.0f;
  prepare_recent(memory);

  cluster_weight_.resize(n);
  rank_.resize(n);
  for (std::size_t i : slotted_) slot_[i] = kUnprepared;
  slotted_.clear();
  slot_.resize(n, kUnprepared);
  neighbours_.clear();
  insertion_change_.clear();

  auto weight_of = [&](std::size_t i) {
    const std::int32_t cluster = instance.cluster_ids[i];
    return cluster >= 0 ? memory.cluster_count(cluster) : 0;
  };
  const std::vector<std::uint64_t>& counts = memory.candidate_counts();
  frequency_sum_ = cluster_sum_ = pair_sum_ = 0;
  for (std::size_t i : selected) {
    check_index(i, n, "selected index");
    frequency_sum_ += counts[i];
    cluster_weight_[i] = weight_of(i);
    cluster_sum_ += cluster_weight_[i];
  }

  std::size_t below = 0;
  for (std::size_t i = 0; i < n; ++i) {
    rank_[i] = static_cast<std::uint32_t>(below);
    below += current[i] != 0;
  }
  require(below == m_, "selected list does not match the mask");

  band_.assign(m_ * (kReach + 1), 0);
  for (std::size_t a = 0; a < m_; ++a)
    for (std::size_t d = 1; d <= kReach + 1 && a + d < m_; ++d)
      band_[a * (kReach + 1) + d - 1] = memory.pair_count(selected[a], selected[a + d]);
  for (std::size_t a = 0; a < m_; ++a)
    for (std::size_t d = 1; d <= kReach && a + d < m_; ++d) pair_sum_ += band(a, d);

  // The removal alone: pair_sum_after with an incoming side that adds nothing
  // is not available, so the removal block is repeated here.
  removal_change_.resize(m_);
  for (std::size_t p = 0; p < m_; ++p) {
    std::uint64_t sum = pair_sum_;
    for (std::size_t j = 1; j <= kReach; ++j) {
      if (p >= j) sum -= band(p - j, j);
      if (p + j < m_) sum -= band(p, j);
    }
    for (std::size_t a = p >= kReach ? p - kReach : 0; a < p; ++a)
      if (a + kReach + 1 < m_) sum += band(a, kReach + 1);
    removal_change_[p] = sum - pair_sum_;
  }
  prepare_incoming(memory, incoming, instance);
}

void MoveMemory::refresh(const TabuMemory& memory, std::span<const std::size_t> incoming,
                         const ProblemInstance& instance) {
  require(memory_ == &memory && revision_ == memory.revision(), "move memory refreshed after the memory changed");
  prepare_recent(memory);
  prepare_incoming(memory, incoming, instance);
}

void MoveMemory::prepare_recent(const TabuMemory& memory) {
  recent_.clear();
  // Selections of `size` positions sharing c with a record of `other`
  // positions have Jaccard c / (size + other - c).
  auto least_tabu_common = [&](std::uint64_t size, std::uint64_t other) {
    for (std::uint64_t c = 0; c <= std::min(size, other); ++c)
      if (jaccard(c, size + other - c) >= threshold_) return c;
    return ~std::uint64_t{0};
  };
  memory.for_each_recent([&](const TabuRecord& r) {
    check_length(r.mask.size(), n_, "tabu record mask");
    std::uint64_t common = 0;
    for (std::size_t i : selected_) common += r.mask[i] != 0;
    const std::uint64_t from_swap = jaccard_decides_ ? least_tabu_common(m_, r.selected) : 0;
    const std::uint64_t from_add = jaccard_decides_ ? least_tabu_common(m_ + 1, r.selected) : 0;
    recent_.push_back(Recent{&r, common, from_swap, from_add});
  });
}

void MoveMemory::prepare_incoming(const TabuMemory& memory, std::span<const std::size_t> incoming,
                                  const ProblemInstance& instance) {
  require(incoming.size() >= slotted_.size() && std::equal(slotted_.begin(), slotted_.end(), incoming.begin()),
          "incoming candidates must extend the prepared ones");
  const std::size_t first_new = slotted_.size();
  neighbours_.resize(incoming.size() * kSpan, 0);
  for (std::size_t s = first_new; s < incoming.size(); ++s) {
    const std::size_t x = incoming[s];
    check_index(x, n_, "incoming candidate");
    require(slot_[x] == kUnprepared, "an incoming candidate appears twice");
    slot_[x] = static_cast<std::uint32_t>(s);
    slotted_.push_back(x);
    const std::int32_t cluster = instance.cluster_ids[x];
    cluster_weight_[x] = cluster >= 0 ? memory.cluster_count(cluster) : 0;
    // Selected positions rank-9 .. rank+8 can become x's neighbours after a move.
    const std::size_t first = rank_[x] >= kReach + 1 ? rank_[x] - (kReach + 1) : 0;
    for (std::size_t k = first; k < m_ && k + kReach + 1 < rank_[x] + kSpan; ++k)
      neighbours_[s * kSpan + (k + kReach + 1 - rank_[x])] = memory.pair_count(x, selected_[k]);
  }
  insertion_change_.resize(incoming.size());
  for (std::size_t s = first_new; s < incoming.size(); ++s)
    insertion_change_[s] = pair_sum_after(incoming[s], n_) - pair_sum_;
}

std::uint64_t MoveMemory::band(std::size_t position, std::size_t distance) const {
  return band_[position * (kReach + 1) + distance - 1];
}

// The pair sum of the selection after the move, from the current one: remove
// `out` (its pairs go, pairs nine apart across it close to eight), then insert
// `in` (its pairs come, pairs eight apart across it widen to nine). Unsigned
// wrap-around is harmless: the true result is non-negative.
std::uint64_t MoveMemory::pair_sum_after(std::size_t in, std::size_t out) const {
  std::uint64_t sum = pair_sum_;
  const bool removes = out < n_;
  const std::size_t p = removes ? rank_[out] : 0;
  if (removes) {
    for (std::size_t j = 1; j <= kReach; ++j) {
      if (p >= j) sum -= band(p - j, j);
      if (p + j < m_) sum -= band(p, j);
    }
    for (std::size_t a = p >= kReach ? p - kReach : 0; a < p; ++a)
      if (a + kReach + 1 < m_) sum += band(a, kReach + 1);
  }
  const std::size_t m1 = removes ? m_ - 1 : m_;
  const std::size_t q = rank_[in] - (removes && out < in ? 1 : 0);
  // Position in the current list of position y of the list without `out`.
  auto current_position = [&](std::size_t y) { return removes && y >= p ? y + 1 : y; };
  const std::uint64_t* row = &neighbours_[slot_[in] * kSpan];
  auto with_in = [&](std::size_t y) { return row[current_position(y) + kReach + 1 - rank_[in]]; };
  for (std::size_t j = 1; j <= kReach && j <= q; ++j) sum += with_in(q - j);
  for (std::size_t j = 0; j < kReach && q + j < m1; ++j) sum += with_in(q + j);
  for (std::size_t a = q >= kReach ? q - kReach : 0; a < q; ++a) {
    if (a + kReach >= m1) continue;
    const std::size_t left = current_position(a), right = current_position(a + kReach);
    sum -= band(left, right - left);
  }
  return sum;
}

void MoveMemory::check_move(std::size_t in, std::size_t out) const {
  check_index(in, n_, "incoming candidate");
  require((*current_)[in] == 0 && (out >= n_ || (*current_)[out] != 0),
          "a move adds an unselected candidate and removes a selected one");
}

double MoveMemory::penalty(std::size_t in, std::size_t out) const {
  check_move(in, out);
  require(slot_[in] != kUnprepared, "penalty asked for a candidate that was not prepared");
  const bool removes = out < n_;
  const std::vector<std::uint64_t>& counts = memory_->candidate_counts();
  const std::uint64_t frequency = frequency_sum_ + counts[in] - (removes ? counts[out] : 0);
  const std::uint64_t cluster = cluster_sum_ + cluster_weight_[in] - (removes ? cluster_weight_[out] : 0);
  // The insertion's change reads the eight selected positions on either side
  // of where `in` goes (q = rank_[in]); a removal outside them leaves that
  // change as it is on the current list, so the two changes simply add.
  const std::size_t q = rank_[in];
  const bool far = removes && (rank_[out] >= q + kReach || rank_[out] + kReach + 1 <= q);
  const std::uint64_t pairs =
      far ? pair_sum_ + removal_change_[rank_[out]] + insertion_change_[slot_[in]] : pair_sum_after(in, out);
  return 0.004 * static_cast<double>(cluster) + 0.005 * static_cast<double>(frequency) +
         0.003 * static_cast<double>(pairs);
}

bool MoveMemory::tabu(std::size_t in, std::size_t out) const {
  check_move(in, out);
  const bool removes = out < n_;
  if (jaccard_decides_) {
    // Undoing a recorded move or resembling a recorded solution: either makes
    // the move tabu, so one pass over the records tests both.
    for (const Recent& r : recent_) {
      const SelectionMask& mask = r.record->mask;
      if (removes && r.record->added == out && r.record->removed == in) return true;
      const std::uint64_t common = r.common - (removes && mask[out] != 0 ? 1 : 0) + (mask[in] != 0 ? 1 : 0);
      if (common >= (removes ? r.tabu_from_swap : r.tabu_from_add)) return true;
    }
    return false;
  }
  if (removes) {
    for (const Recent& r : recent_)
      if (r.record->added == out && r.record->removed == in) return true;
  }
  const std::uint64_t selected_after = m_ + 1 - (removes ? 1 : 0);
  if (recent_.empty()) return false;
  const std::uint64_t fingerprint = moved_mask_fingerprint(*current_, in, out);
  for (const Recent& r : recent_) {
    if (r.record->fingerprint == fingerprint) return true;
    if (threshold_ > 0.0f) {
      const SelectionMask& mask = r.record->mask;
      const std::uint64_t common = r.common - (removes && mask[out] != 0 ? 1 : 0) + (mask[in] != 0 ? 1 : 0);
      if (jaccard(common, selected_after + r.record->selected - common) >= threshold_) return true;
    }
  }
  return false;
}

}  // namespace quarnel

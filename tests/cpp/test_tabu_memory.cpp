#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>
#include <vector>

#include "search/tabu_memory.hpp"
#include "test_tabu_fixtures.hpp"

namespace quarnel {
namespace {

// SipHash-c-d written from the published description: pad the message with
// zeros to a multiple of eight bytes with the length in the last byte, then
// compress every block and finalise.
std::uint64_t reference_siphash(int c, int d, std::uint64_t k0, std::uint64_t k1, std::vector<std::uint8_t> m) {
  std::uint64_t v[4] = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                        k1 ^ 0x7465646279746573ULL};
  auto round = [&v] {
    v[0] += v[1], v[2] += v[3];
    v[1] = std::rotl(v[1], 13), v[3] = std::rotl(v[3], 16);
    v[1] ^= v[0], v[3] ^= v[2];
    v[0] = std::rotl(v[0], 32);
    v[2] += v[1], v[0] += v[3];
    v[1] = std::rotl(v[1], 17), v[3] = std::rotl(v[3], 21);
    v[1] ^= v[2], v[3] ^= v[0];
    v[2] = std::rotl(v[2], 32);
  };
  const std::uint8_t length = static_cast<std::uint8_t>(m.size());
  m.resize(m.size() / 8 * 8 + 8, 0);
  m.back() = length;
  for (std::size_t at = 0; at < m.size(); at += 8) {
    std::uint64_t block = 0;
    for (int b = 0; b < 8; ++b) block |= static_cast<std::uint64_t>(m[at + b]) << (8 * b);
    v[3] ^= block;
    for (int r = 0; r < c; ++r) round();
    v[0] ^= block;
  }
  v[2] ^= 0xff;
  for (int r = 0; r < d; ++r) round();
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

std::vector<std::uint8_t> counting(std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

TEST(TabuMemory, FingerprintIsSipHash13WithZeroKeys) {
  // The reference reproduces the published SipHash-2-4 vectors (key 00..0f).
  const std::uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  ASSERT_EQ(reference_siphash(2, 4, k0, k1, {}), 0x726fdb47dd0e0e31ULL);
  ASSERT_EQ(reference_siphash(2, 4, k0, k1, counting(1)), 0x74f839c593dc67fdULL);
  ASSERT_EQ(reference_siphash(2, 4, k0, k1, counting(15)), 0xa129ca6149be45e5ULL);

  std::mt19937 rng(7);
  for (std::size_t length = 0; length < 70; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    const std::uint64_t expected = reference_siphash(1, 3, 0, 0, bytes);
    EXPECT_EQ(siphash13(bytes.data(), length), expected) << length;
    // Streaming in uneven pieces gives the same hash.
    SipHasher13 streamed;
    for (std::size_t at = 0; at < length;) {
      const std::size_t piece = std::min<std::size_t>(1 + rng() % 11, length - at);
      streamed.write(bytes.data() + at, piece);
      at += piece;
    }
    EXPECT_EQ(streamed.finish(), expected) << length;

    // A mask is hashed behind its length as a little-endian u64.
    SelectionMask mask(length);
    for (auto& b : mask) b = rng() % 2;
    std::vector<std::uint8_t> framed = counting(0);
    for (int b = 0; b < 8; ++b) framed.push_back(static_cast<std::uint8_t>(std::uint64_t{length} >> (8 * b)));
    framed.insert(framed.end(), mask.begin(), mask.end());
    EXPECT_EQ(mask_fingerprint(mask), reference_siphash(1, 3, 0, 0, framed));
    if (length == 0) continue;
    const std::size_t in = rng() % length, out = rng() % length;
    SelectionMask moved = mask;
    moved[out] = 0;
    moved[in] = 1;
    EXPECT_EQ(moved_mask_fingerprint(mask, in, out), mask_fingerprint(moved));
    moved = mask;
    moved[in] = 1;
    EXPECT_EQ(moved_mask_fingerprint(mask, in, length), mask_fingerprint(moved));
  }
}

TEST(TabuMemory, TenureJitterStaysAroundTheBase) {
  const ProblemInstance p = testing::random_instance({.n = 20});
  for (std::uint64_t base : {10, 4}) {
    TabuMemory memory(base, 20, 0.85f);
    std::set<std::uint64_t> seen;
    for (std::uint32_t step = 0; step < 200; ++step) {
      memory.advance_iteration();
      memory.record_move(testing::random_mask(20, 1 + step % 9, step), 0, 20, p);
      seen.insert(memory.current_tenure());
      EXPECT_LE(memory.ring().size(), 3 * base);
    }
    if (base == 10) {
      EXPECT_EQ(*seen.begin(), 8u);
      EXPECT_EQ(*seen.rbegin(), 12u);
    } else {
      EXPECT_EQ(seen, std::set<std::uint64_t>{4});  // floor(0.8) = 0: no jitter
    }
  }
}

TEST(TabuMemory, CountsPenaltyAndClear) {
  ProblemInstance p = testing::random_instance({.n = 12});
  for (std::size_t i = 0; i < 10; ++i) p.cluster_ids[i] = 7;
  TabuMemory memory(2, 12, 0.85f);
  SelectionMask ten(12, 0);
  for (std::size_t i = 0; i < 10; ++i) ten[i] = 1;
  memory.advance_iteration();
  memory.record_move(ten, 9, 12, p);
  EXPECT_EQ(memory.pair_count(9, 2), 1u);
  EXPECT_EQ(memory.cluster_count(7), 10u);
  // Frequency 10, cluster 10 x 10, and the 44 pairs at most eight places apart.
  EXPECT_DOUBLE_EQ(memory.memory_penalty(ten, p), 0.004 * 100 + 0.005 * 10 + 0.003 * 44);
  EXPECT_EQ(memory.memory_penalty(SelectionMask(12, 0), p), 0.0);

  // The record ages out after the maximum tenure (6) of iterations.
  for (int i = 0; i < 6; ++i) memory.advance_iteration();
  EXPECT_EQ(memory.ring().size(), 1u);
  memory.advance_iteration();
  EXPECT_TRUE(memory.ring().empty());

  memory.set_current_tenure(5);
  memory.clear();
  EXPECT_EQ(memory.iteration(), 0u);
  EXPECT_EQ(memory.pair_count(0, 1) + memory.cluster_count(7) + memory.candidate_counts()[3], 0u);
  EXPECT_EQ(memory.current_tenure(), 5u);
  EXPECT_EQ(memory.max_tenure(), 6u);
}

std::size_t selected_count(const SelectionMask& mask) { return std::count(mask.begin(), mask.end(), 1); }

// Random walk of recorded moves; then every move from the last selection is
// judged by the prepared per-iteration form and by the plain form on a copied mask.
// Short selections are counted in the pair table, long ones in the history:
// either way a pair's count is the number of records that held both.
TEST(TabuMemory, PairCountsOfShortAndLongSelectionsAddUp) {
  const std::size_t n = 400;
  ProblemInstance p = testing::random_instance({.n = n});
  TabuMemory memory(4, n, 0.85f);
  std::vector<SelectionMask> records;
  for (std::uint32_t r = 0; r < 70; ++r) {
    const std::size_t size = r % 3 == 0 ? 20 : 150 + r;  // some short, most past the table's limit
    records.push_back(testing::random_mask(n, size, r + 1));
    memory.advance_iteration();
    memory.record_move(records.back(), 0, n, p);
  }
  std::mt19937 rng(3);
  for (int k = 0; k < 2000; ++k) {
    const std::size_t a = rng() % n, b = rng() % n;
    if (a == b) continue;
    std::uint64_t plain = 0;
    for (const SelectionMask& mask : records) plain += mask[a] != 0 && mask[b] != 0 ? 1 : 0;
    ASSERT_EQ(memory.pair_count(a, b), plain) << a << ", " << b;
  }
  memory.clear();
  for (std::size_t i = 1; i < n; ++i) ASSERT_EQ(memory.pair_count(0, i), 0u);
}

TEST(TabuMemory, PreparedMovesAgreeWithThePlainForm) {
  // The larger selection puts removals and insertions far apart, where their
  // changes of the pair sum are taken separately.
  for (std::size_t n : {40, 160}) {
    ProblemInstance p = testing::random_instance({.n = n, .seed = 5});
    std::mt19937 rng(11);
    for (auto& c : p.cluster_ids) c = rng() % 3 == 0 ? kNoCluster : static_cast<std::int32_t>(rng() % 4);
    for (float threshold : {0.85f, 0.0f, 1.5f}) {
      for (std::size_t size : {1, 6, 14, 25, 100}) {
        if ((size == 100) != (n == 160)) continue;
        TabuMemory memory(6, n, threshold);
        SelectionMask mask = testing::random_mask(n, size, static_cast<std::uint32_t>(size));
        for (int step = 0; step < 40; ++step) {
          memory.advance_iteration();
          std::size_t in = rng() % n, out = rng() % n;
          while (mask[in]) in = (in + 1) % n;
          while (!mask[out]) out = (out + 1) % n;
          const bool swap = rng() % 3 != 0 || selected_count(mask) + 1 >= n;
          if (swap) mask[out] = 0;
          mask[in] = 1;
          memory.record_move(mask, in, swap ? out : n, p);
        }
        memory.set_current_tenure(2 + rng() % 8);
        std::vector<std::size_t> selected, incoming;
        for (std::size_t i = 0; i < n; ++i) (mask[i] ? selected : incoming).push_back(i);
        MoveMemory prepared;
        prepared.prepare(memory, mask, selected, incoming, p);
        int tabu_moves = 0;
        for (std::size_t in : incoming) {
          for (std::size_t out = 0; out <= n; ++out) {
            if (out < n && !mask[out]) continue;
            SelectionMask after = mask;
            if (out < n) after[out] = 0;
            after[in] = 1;
            EXPECT_EQ(prepared.penalty(in, out), memory.memory_penalty(after, p)) << in << " for " << out;
            const bool tabu = memory.is_tabu(after, in, out);
            EXPECT_EQ(prepared.tabu(in, out), tabu) << in << " for " << out;
            tabu_moves += tabu;
          }
        }
        if (threshold == 0.85f && size == 6) {
          EXPECT_GT(tabu_moves, 0);
        }
      }
    }
  }
}

}  // namespace
}  // namespace quarnel

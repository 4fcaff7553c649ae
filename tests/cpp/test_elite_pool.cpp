#include <gtest/gtest.h>

#include <vector>

#include "search/constructions.hpp"
#include "search/context.hpp"
#include "search/elite_pool.hpp"
#include "test_constructions_world.hpp"

namespace quarnel {
namespace {

using namespace testing_world;

std::vector<double> scores_of(const ElitePool& pool) {
  std::vector<double> out;
  for (const EliteEntry& e : pool.entries()) out.push_back(e.score);
  return out;
}

TEST(ElitePool, KeepsDescendingOrderWithoutDuplicatesAndDropsBeyondFour) {
  ElitePool pool;
  pool.insert(mask_of(4, {0}), 1.0);
  pool.insert(mask_of(4, {1}), 3.0);
  pool.insert(mask_of(4, {2}), 2.0);
  pool.insert(mask_of(4, {1}), 9.0);  // same mask, other score: ignored
  pool.insert(mask_of(4, {3}), 2.0);  // equal score stays behind the older entry
  EXPECT_EQ(scores_of(pool), (std::vector<double>{3.0, 2.0, 2.0, 1.0}));
  EXPECT_EQ(pool.entries()[1].mask, mask_of(4, {2}));
  EXPECT_EQ(pool.entries()[2].mask, mask_of(4, {3}));

  pool.insert(mask_of(4, {0, 1}), 0.5);  // lowest fifth: dropped at once
  EXPECT_EQ(scores_of(pool), (std::vector<double>{3.0, 2.0, 2.0, 1.0}));
  pool.insert(mask_of(4, {0, 2}), 4.0);  // highest fifth: front, old last dropped
  EXPECT_EQ(scores_of(pool), (std::vector<double>{4.0, 3.0, 2.0, 2.0}));
  EXPECT_EQ(pool.entries().front().mask, mask_of(4, {0, 2}));
}

TEST(ElitePool, GuideIsTheLastOfTheMostDistantDifferingEntries) {
  ElitePool pool;
  const SelectionMask current = mask_of(4, {0, 1});
  EXPECT_EQ(pool.guide_for(current), nullptr);
  pool.insert(current, 5.0);
  EXPECT_EQ(pool.guide_for(current), nullptr);

  pool.insert(mask_of(4, {0, 2}), 4.0);  // distance 2
  pool.insert(mask_of(4, {2, 3}), 3.0);  // distance 4
  pool.insert(mask_of(4, {3}), 2.0);     // distance 3
  ASSERT_NE(pool.guide_for(current), nullptr);
  EXPECT_EQ(pool.guide_for(current)->mask, mask_of(4, {2, 3}));

  ElitePool ties;
  ties.insert(mask_of(4, {0, 2}), 4.0);
  ties.insert(mask_of(4, {1, 3}), 3.0);  // both at distance 2 from {0, 1}
  EXPECT_EQ(ties.guide_for(current)->mask, mask_of(4, {1, 3}));

  // A mask of another length differs even where the common bytes agree.
  ElitePool lengths;
  lengths.insert(SelectionMask{1, 1, 0}, 1.0);
  ASSERT_NE(lengths.guide_for(current), nullptr);
  EXPECT_EQ(lengths.guide_for(current)->mask.size(), 3u);
}

TEST(PathRelink, SwapsOutTheLowestUnaryChunkThatMakesRoomForTheGuideChunk) {
  // Current {0 weak/small, 1 strong/large, 2 mid/large}, guide {3}: chunk 3
  // only fits after a swap. Chunk 0 is weakest but frees too little, so the
  // next weakest that makes room, chunk 2, goes.
  World w({0.1f, 0.9f, 0.3f, 0.5f}, {20, 150, 150, 200});
  w.constraints.max_tokens = 400;
  const SearchContext& ctx = w.context();
  ElitePool pool;
  pool.insert(mask_of(4, {3}), 1.0);
  const auto relinked = path_relink(ctx, mask_of(4, {0, 1, 2}), pool, 0, 100, {});
  ASSERT_TRUE(relinked.has_value());
  EXPECT_EQ(selected_indices(*relinked), (Indices{0, 1, 3}));
}

TEST(PathRelink, AddsFittingGuideChunksThenRepairs) {
  World w({0.1f, 0.2f, 0.3f, 0.4f}, {10, 10, 10, 10});
  w.constraints.max_chunks = 3;
  const SearchContext& ctx = w.context();
  ElitePool pool;
  pool.insert(mask_of(4, {1, 2}), 1.0);
  // 1 and 2 join chunk 0; repair has no room left for 3.
  EXPECT_EQ(selected_indices(*path_relink(ctx, mask_of(4, {0}), pool, 0, 100, {})), (Indices{0, 1, 2}));
}

TEST(PathRelink, HandsOverToDestroyAndRepairOnlyWhenEnabledAndStagnantEnough) {
  World w({0.1f, 0.2f, 0.3f, 0.9f, 0.8f}, {10, 10, 10, 10, 10});
  w.constraints.max_chunks = 3;
  const SearchContext& ctx = w.context();
  const SelectionMask current = mask_of(5, {0, 1, 2});
  ElitePool pool;
  pool.insert(mask_of(5, {1, 2, 4}), 1.0);

  const SelectionMask destroyed = destroy_and_repair(ctx, current, {});
  EXPECT_EQ(*path_relink(ctx, current, pool, 12, 12, {}), destroyed);
  // One below the threshold: relinking toward the guide.
  EXPECT_EQ(selected_indices(*path_relink(ctx, current, pool, 11, 12, {})), (Indices{1, 2, 4}));

  w.settings.config.enable_destroy_repair = false;
  EXPECT_EQ(selected_indices(*path_relink(w.context(), current, pool, 50, 12, {})), (Indices{1, 2, 4}));

  ElitePool only_current;
  only_current.insert(current, 1.0);
  EXPECT_FALSE(path_relink(ctx, current, only_current, 50, 12, {}).has_value());
}

}  // namespace
}  // namespace quarnel

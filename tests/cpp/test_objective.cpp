#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "backend/backend.hpp"
#include "core/config.hpp"
#include "core/objective.hpp"
#include "core/panic.hpp"
#include "core/problem.hpp"
#include "test_instances.hpp"

namespace quarnel {
namespace {

ProblemInstance blank_instance(std::size_t n) {
  ProblemInstance p = testing::blank_instance(n);
  p.similarity_matrix = std::vector<float>(n * n, 0.0f);
  return p;
}

// Weights that keep only the term under test.
ObjectiveWeights only(int index, float value = 1.0f) {
  ObjectiveWeights w{};
  w[index] = value;
  w[weight::kDiscount] = 0.35f;
  w[weight::kBonus] = 0.18f;
  w[weight::kThreshold] = 0.55f;
  w[weight::kCap] = 4.0f;
  return w;
}

// One query token covered by candidates 0..n-1 with the given values, all selected.
float support_of(const std::vector<float>& coverage, float cap = 4.0f) {
  const std::size_t n = coverage.size();
  ProblemInstance p = blank_instance(n);
  p.coverage_matrix = coverage;
  p.num_query_tokens = 1;
  ObjectiveWeights w = only(weight::kMu);
  w[weight::kCap] = cap;
  const ProblemView view = make_problem_view(p, *p.similarity_matrix, w);
  const SelectionMask mask(n, 1);
  return selection_score(view, mask.data());
}

std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

TEST(Support, QuorumDecidesTheThirdAndFourthRanks) {
  // Only two values reach the threshold: the third rank adds nothing.
  EXPECT_EQ(support_of({0.9f, 0.6f, 0.5f}), 0.9f + 0.35f * 0.6f);
  // Three reach it: the third adds bonus times itself, the fourth still nothing.
  EXPECT_EQ(support_of({0.9f, 0.8f, 0.6f, 0.3f}), (0.9f + 0.35f * 0.8f) + 0.18f * 0.6f);
  // Four reach it: the fourth adds half the bonus. Input order does not matter.
  const float four = ((0.9f + 0.35f * 0.8f) + 0.18f * 0.7f) + (0.5f * 0.18f) * 0.6f;
  EXPECT_EQ(support_of({0.6f, 0.8f, 0.7f, 0.9f}), four);
  // A value equal to the threshold counts towards the quorum.
  EXPECT_EQ(support_of({0.55f, 0.55f, 0.55f}), (0.55f + 0.35f * 0.55f) + 0.18f * 0.55f);
}

TEST(Support, CapLimitsTheContributingRanks) {
  const std::vector<float> four = {0.9f, 0.8f, 0.7f, 0.6f};
  const float two_ranks = 0.9f + 0.35f * 0.8f;
  EXPECT_EQ(support_of(four, 0.0f), two_ranks);
  EXPECT_EQ(support_of(four, 1.0f), two_ranks);
  EXPECT_EQ(support_of(four, 2.0f), two_ranks);
  EXPECT_EQ(support_of(four, 3.0f), two_ranks + 0.18f * 0.7f);
  EXPECT_EQ(support_of(four, 3.9f), two_ranks + 0.18f * 0.7f);  // fraction dropped
  EXPECT_EQ(support_of(four, 1e30f), (two_ranks + 0.18f * 0.7f) + (0.5f * 0.18f) * 0.6f);
}

TEST(Support, ParamsSaturateAndTreatNaNAsTheLowerLimit) {
  ObjectiveWeights w{};
  w[weight::kCap] = std::nanf("");
  EXPECT_EQ(support_params(w).cap, 2u);
  w[weight::kCap] = INFINITY;
  EXPECT_EQ(support_params(w).cap, UINT64_MAX);
  w[weight::kCap] = 1.8446744e19f;  // 2^64 exactly as f32
  EXPECT_EQ(support_params(w).cap, UINT64_MAX);
  w[weight::kCap] = 7.0f;
  EXPECT_EQ(support_params(w).cap, 7u);
}

TEST(Support, CoverageIsClampedAndNegativeValuesNeverCount) {
  EXPECT_EQ(support_of({1.7f}), 1.0f);
  EXPECT_EQ(support_of({-0.4f}), 0.0f);
  EXPECT_EQ(support_of({1.7f, -0.3f}), 1.0f);
  EXPECT_EQ(support_of({0.5f, 1.7f}), 1.0f + 0.35f * 0.5f);
  // NaN coverage never enters a slot.
  EXPECT_EQ(support_of({std::nanf(""), 0.4f}), 0.4f);
}

TEST(Fulfilment, RowsAreWeightedAndMissingWeightsCountAsOne) {
  ProblemInstance p = blank_instance(2);
  p.num_query_tokens = 3;
  p.coverage_matrix = std::vector<float>{0.5f, 0.0f, /**/ 0.0f, 0.25f, /**/ 0.75f, 0.0f};
  p.query_token_weights = std::vector<float>{2.0f};  // rows 1 and 2 weigh 1
  const ObjectiveWeights w = only(weight::kMu, 2.0f);
  const ProblemView view = make_problem_view(p, *p.similarity_matrix, w);
  const SelectionMask mask = {1, 1};
  const float expected = 2.0f * (((0.0f + 2.0f * 0.5f) + 1.0f * 0.25f) + 1.0f * 0.75f);
  EXPECT_EQ(selection_score(view, mask.data()), expected);

  // Without a coverage matrix there is no fulfilment at all.
  p.coverage_matrix.reset();
  const ProblemView bare = make_problem_view(p, *p.similarity_matrix, w);
  EXPECT_EQ(selection_score(bare, mask.data()), 0.0f);
}

TEST(Redundancy, ReadsBothDirectionsAndHalvesTheSum) {
  ProblemInstance p = blank_instance(3);
  std::vector<float>& sim = *p.similarity_matrix;
  sim[0 * 3 + 1] = 0.8f;
  sim[1 * 3 + 0] = 0.6f;
  sim[0 * 3 + 0] = sim[1 * 3 + 1] = 100.0f;  // the diagonal is never read
  sim[2 * 3 + 0] = 5.0f;                     // an unselected row is never read
  const ObjectiveWeights w = only(weight::kLambda);
  const ProblemView view = make_problem_view(p, sim, w);

  const SelectionMask both = {1, 1, 0};
  EXPECT_EQ(selection_score(view, both.data()), -(0.5f * (0.8f + 0.6f)));
  EXPECT_NEAR(selection_score(view, both.data()), -0.7f, 1e-6f);

  // A byte other than 1 is selected for the inner sum only.
  const SelectionMask odd = {1, 2, 0};
  EXPECT_EQ(selection_score(view, odd.data()), -(0.5f * 0.8f));
}

TEST(SelectionScore, EmptySelectionScoresZero) {
  ProblemInstance p = blank_instance(3);
  p.relevance_scores = {1.0f, 2.0f, 3.0f};
  p.num_query_tokens = 1;
  p.coverage_matrix = std::vector<float>{0.9f, 0.9f, 0.9f};
  std::fill(p.similarity_matrix->begin(), p.similarity_matrix->end(), 0.5f);
  ObjectiveWeights w = only(weight::kAlpha);
  w[weight::kMu] = w[weight::kFulfilment] = 1.0f;
  w[weight::kLambda] = 0.5f;
  const ProblemView view = make_problem_view(p, *p.similarity_matrix, w);
  const SelectionMask none(3, 0);
  EXPECT_EQ(selection_score(view, none.data()), 0.0f);
}

TEST(SelectionScore, CombinesTheTermsInSinglePrecision) {
  ProblemInstance p = blank_instance(2);
  p.relevance_scores = {0.1f, 0.7f};
  p.density_scores = {0.3f, 0.2f};
  p.centrality_scores = {0.9f, 0.4f};
  p.recency_scores = {0.05f, 0.6f};
  p.auxiliary_scores = {-0.2f, 0.25f};
  (*p.similarity_matrix)[1] = 0.3f;
  (*p.similarity_matrix)[2] = 0.3f;
  const ObjectiveWeights w = {1.0f, 0.3f, 0.2f, 0.1f, 0.5f, 1.0f, 0.5f, 0.35f, 0.18f, 0.55f, 4.0f, 1.0f};
  const ProblemView view = make_problem_view(p, *p.similarity_matrix, w);
  const SelectionMask mask = {1, 1};
  float expected = 1.0f * (0.1f + 0.7f);
  expected = expected + 0.3f * (0.3f + 0.2f);
  expected = expected + 0.2f * (0.9f + 0.4f);
  expected = expected + 0.1f * (0.05f + 0.6f);
  expected = expected + 0.5f * (-0.2f + 0.25f);
  expected = expected + 1.0f * 0.0f;
  expected = expected - 0.5f * (0.5f * (0.3f + 0.3f));
  EXPECT_EQ(bits(selection_score(view, mask.data())), bits(expected));
}

// The per-selection formula scanning every index of the mask, as a reference
// for the paths that iterate over the selected indices only.
float literal_score(const ProblemInstance& p, const ObjectiveWeights& w, const SelectionMask& mask) {
  const std::size_t n = p.num_candidates;
  auto sum = [&](const std::vector<float>& v) {
    float s = -0.0f;
    for (std::size_t i = 0; i < n; ++i)
      if (mask[i] != 0) s += v[i];
    return s;
  };
  const SupportParams params = support_params(w);
  float f = 0.0f;
  for (std::size_t t = 0; p.coverage_matrix && t < p.num_query_tokens; ++t) {
    TopFour<float> top;
    std::uint64_t q = 0;
    for (std::size_t k = 0; k < n; ++k) {
      if (mask[k] == 0) continue;
      const float c = (*p.coverage_matrix)[t * n + k];
      if (c >= params.threshold) ++q;
      top.insert(c);
    }
    f += p.query_token_weight(t) * support_f32(top, q, params);
  }
  float r = 0.0f;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (mask[i] == 1 && mask[j] != 0 && j != i) r += (*p.similarity_matrix)[i * n + j];
  r = 0.5f * r;
  float s = w[0] * sum(p.relevance_scores);
  s = s + w[1] * sum(p.density_scores);
  s = s + w[2] * sum(p.centrality_scores);
  s = s + w[3] * sum(p.recency_scores);
  s = s + w[4] * sum(p.auxiliary_scores);
  s = s + w[5] * f;
  return s - w[6] * r;
}

TEST(SelectionScore, SelectedIndexPathMatchesAFullScanBitForBit) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(-0.5f, 1.5f);
  std::uniform_int_distribution<int> byte(0, 5);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 1 + trial % 13;
    ProblemInstance p = blank_instance(n);
    for (auto* seq : {&p.relevance_scores, &p.density_scores, &p.centrality_scores, &p.recency_scores,
                      &p.auxiliary_scores})
      for (float& x : *seq) x = value(rng);
    for (float& x : *p.similarity_matrix) x = value(rng);
    p.num_query_tokens = trial % 4;
    p.coverage_matrix = std::vector<float>(p.num_query_tokens * n);
    for (float& x : *p.coverage_matrix) x = value(rng);
    if (trial % 3 == 0) p.query_token_weights = std::vector<float>{0.5f, 2.0f};
    const ObjectiveWeights w = {1.0f, 0.3f, 0.2f, 0.1f, 0.7f, 1.3f, 0.5f, 0.35f, 0.18f, 0.55f,
                                static_cast<float>(trial % 6), 1.3f};
    SelectionMask mask(n);
    for (auto& b : mask) b = byte(rng) < 3 ? 0 : static_cast<std::uint8_t>(byte(rng) == 0 ? 2 : 1);
    const ProblemView view = make_problem_view(p, *p.similarity_matrix, w);

    std::vector<std::size_t> selected;
    for (std::size_t i = 0; i < n; ++i)
      if (mask[i] != 0) selected.push_back(i);
    const float expected = literal_score(p, w, mask);
    ASSERT_EQ(bits(selection_score(view, mask.data())), bits(expected)) << "trial " << trial;
    ASSERT_EQ(bits(selection_score_selected(view, mask.data(), selected)), bits(expected)) << "trial " << trial;
  }
}

TEST(SelectionScore, RefusesTooShortMatricesAndForeignIndices) {
  ProblemInstance p = blank_instance(3);
  const ObjectiveWeights w = only(weight::kAlpha);
  const SelectionMask mask = {1, 0, 1};
  const std::vector<float> short_sim(8, 0.0f);
  EXPECT_THROW(selection_score(make_problem_view(p, short_sim, w), mask.data()), InternalError);

  p.num_query_tokens = 2;
  p.coverage_matrix = std::vector<float>(5, 0.0f);
  EXPECT_THROW(selection_score(make_problem_view(p, *p.similarity_matrix, w), mask.data()), InternalError);

  p.coverage_matrix = std::vector<float>(6, 0.0f);
  const ProblemView view = make_problem_view(p, *p.similarity_matrix, w);
  const std::vector<std::size_t> foreign = {0, 3};
  EXPECT_THROW(selection_score_selected(view, mask.data(), foreign), InternalError);
}

const CpuReferenceBackend backend(1);

TEST(Evaluate, EmptySelectionIsZeroEverywhere) {
  ProblemInstance p = blank_instance(3);
  p.relevance_scores = {1.0f, 2.0f, 3.0f};
  p.num_query_tokens = 1;
  p.coverage_matrix = std::vector<float>{0.9f, 0.9f, 0.9f};
  std::fill(p.similarity_matrix->begin(), p.similarity_matrix->end(), 0.5f);
  const ObjectiveWeights w = {1.0f, 0.3f, 0.2f, 0.1f, 0.5f, 1.0f, 0.5f, 0.35f, 0.18f, 0.55f, 4.0f, 1.0f};
  const ObjectiveBreakdown b = evaluate(p, SelectionMask(3, 0), w, *p.similarity_matrix, backend);
  for (double v : {b.objective_score, b.relevance_total, b.density_total, b.centrality_total, b.recency_total,
                   b.auxiliary_total, b.fulfilment_total, b.redundancy_penalty})
    EXPECT_EQ(v, 0.0);
}

TEST(Evaluate, TotalsAreDoubleProductsAndThePenaltyIsTheRemainder) {
  ProblemInstance p = blank_instance(3);
  p.relevance_scores = {0.1f, 0.7f, 0.3f};
  p.density_scores = {0.3f, 0.2f, 0.9f};
  p.auxiliary_scores = {-0.2f, 0.25f, 0.0f};
  p.num_query_tokens = 1;
  p.coverage_matrix = std::vector<float>{0.9f, 0.6f, 0.95f};
  std::vector<float>& sim = *p.similarity_matrix;
  sim[1] = 0.8f;
  sim[3] = 0.6f;
  const ObjectiveWeights w = {1.0f, 0.3f, 0.2f, 0.1f, 0.5f, 1.5f, 0.5f, 0.35f, 0.18f, 0.55f, 4.0f, 1.5f};
  const SelectionMask mask = {1, 1, 0};
  const ObjectiveBreakdown b = evaluate(p, mask, w, sim, backend);

  EXPECT_EQ(b.objective_score, selection_score(make_problem_view(p, sim, w), mask.data()));
  EXPECT_EQ(b.relevance_total, double(0.1f + 0.7f) * double(1.0f));
  EXPECT_EQ(b.density_total, double(0.3f + 0.2f) * double(0.3f));
  EXPECT_EQ(b.auxiliary_total, double(-0.2f + 0.25f) * double(0.5f));
  // Fulfilment is recomputed in double precision, not widened from the f32 value.
  const double g = double(0.9f) + double(0.35f) * double(0.6f);
  EXPECT_EQ(b.fulfilment_total, g * double(1.5f));
  const double weighted =
      ((((b.relevance_total + b.density_total) + b.centrality_total) + b.recency_total) + b.auxiliary_total) +
      b.fulfilment_total;
  EXPECT_EQ(b.redundancy_penalty, weighted - b.objective_score);
  EXPECT_NEAR(b.redundancy_penalty, 0.5 * 0.7, 1e-6);
}

TEST(Evaluate, ZeroWeightsLeaveNoFulfilmentAndNoNegativePenalty) {
  ProblemInstance p = blank_instance(4);
  p.relevance_scores = {0.3f, 0.1f, 0.7f, 0.11f};
  p.num_query_tokens = 2;
  p.coverage_matrix = std::vector<float>{0.9f, 0.6f, 0.95f, 0.7f, 0.1f, 0.2f, 0.3f, 0.4f};
  std::fill(p.similarity_matrix->begin(), p.similarity_matrix->end(), 0.3f);
  ObjectiveWeights w = {1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.35f, 0.18f, 0.55f, 4.0f, 0.0f};
  const SelectionMask mask = {1, 1, 1, 1};
  ObjectiveBreakdown b = evaluate(p, mask, w, *p.similarity_matrix, backend);
  EXPECT_EQ(b.fulfilment_total, 0.0);
  EXPECT_EQ(b.objective_score, double(((0.3f + 0.1f) + 0.7f) + 0.11f));
  EXPECT_GE(b.redundancy_penalty, 0.0);
  EXPECT_LT(b.redundancy_penalty, 1e-6);

  // A fulfilment weight within epsilon of zero counts as zero.
  w[weight::kMu] = w[weight::kFulfilment] = 1e-8f;
  b = evaluate(p, mask, w, *p.similarity_matrix, backend);
  EXPECT_EQ(b.fulfilment_total, 0.0);
}

TEST(Evaluate, RefusesAShortMaskOrSimilarityMatrix) {
  ProblemInstance p = blank_instance(3);
  const ObjectiveWeights w = only(weight::kAlpha);
  EXPECT_THROW(evaluate(p, SelectionMask{1, 1}, w, *p.similarity_matrix, backend), InternalError);
  const std::vector<float> short_sim(8, 0.0f);
  EXPECT_THROW(evaluate(p, SelectionMask(3, 1), w, short_sim, backend), InternalError);
}

}  // namespace
}  // namespace quarnel

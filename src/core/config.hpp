#pragma once
// The caller's solver settings, the fixed internal values a solver adds to
// them, and the weight vector derived once per solve.
#include <array>
#include <cstdint>
#include <optional>

namespace quarnel {

// The f32 machine epsilon: a weight of at most this magnitude counts as zero.
inline constexpr float kWeightEpsilon = 1.1920929e-7f;

struct SolverConfig {
  float alpha = 1.0f;
  float beta = 0.3f;
  float gamma = 0.2f;
  float delta = 0.1f;
  float epsilon = 0.0f;
  float mu = 1.0f;
  float support_secondary_discount = 0.35f;
  float support_quorum_bonus = 0.18f;
  float support_quorum_threshold = 0.55f;
  std::uint64_t support_quorum_cap = 4;
  float lambda = 0.5f;
  std::uint64_t iterations = 100;
  std::uint64_t tabu_tenure = 10;
  std::uint64_t early_stopping_patience = 20;
  bool use_gpu = false;
  std::optional<std::uint64_t> random_seed;
  bool enable_gpu_move_evaluation = true;
  bool enable_path_relinking = true;
  bool enable_destroy_repair = true;
  bool enable_reactive_tenure = true;
  bool enable_exact_window = true;
  std::uint64_t exact_window_size = 14;
  std::uint64_t exact_window_time_ms = 25;
};

// True when beta, gamma or delta has a magnitude above the f32 epsilon.
bool secondary_weights_active(const SolverConfig& config);

// What a solver holds: a copy of the configuration plus its fixed values.
struct SolverSettings {
  SolverConfig config;
  bool secondary_weights_active = false;
  std::uint64_t move_batch_size = 64;
  float tabu_similarity_threshold = 0.85f;
  float improvement_margin = 1e-6f;
  // When set, the exact window stops after this many nodes instead of after
  // exact_window_time_ms, so that its result does not depend on machine load.
  std::optional<std::uint64_t> exact_window_node_limit;

  // A solver built from an explicit configuration tests the secondary weights;
  // one built without a configuration keeps the defaults but ignores them.
  static SolverSettings from_config(const SolverConfig& config);
  static SolverSettings defaults_without_config();

  // The improvement margin widened: "better" means exceeding by more than this.
  double margin() const { return static_cast<double>(improvement_margin); }
};

// W[0..11]: alpha, beta, gamma, delta (the three zeroed when the secondary
// weights are inactive), epsilon, mu, lambda, secondary discount, quorum bonus,
// quorum threshold, quorum cap as f32, mu again (read by the fulfilment routines).
using ObjectiveWeights = std::array<float, 12>;

namespace weight {
inline constexpr int kAlpha = 0, kBeta = 1, kGamma = 2, kDelta = 3, kEpsilon = 4, kMu = 5, kLambda = 6,
                     kDiscount = 7, kBonus = 8, kThreshold = 9, kCap = 10, kFulfilment = 11;
}

ObjectiveWeights make_objective_weights(const SolverSettings& settings);

}  // namespace quarnel

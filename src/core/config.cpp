#include "core/config.hpp"

#include <cmath>

namespace quarnel {

bool secondary_weights_active(const SolverConfig& config) {
  return std::fabs(config.beta) > kWeightEpsilon || std::fabs(config.gamma) > kWeightEpsilon ||
         std::fabs(config.delta) > kWeightEpsilon;
}

SolverSettings SolverSettings::from_config(const SolverConfig& config) {
  SolverSettings settings;
  settings.config = config;
  settings.secondary_weights_active = quarnel::secondary_weights_active(config);
  return settings;
}

SolverSettings SolverSettings::defaults_without_config() {
  SolverSettings settings;
  settings.secondary_weights_active = false;
  return settings;
}

ObjectiveWeights make_objective_weights(const SolverSettings& settings) {
  const SolverConfig& c = settings.config;
  const bool secondary = settings.secondary_weights_active;
  return ObjectiveWeights{
      c.alpha,
      secondary ? c.beta : 0.0f,
      secondary ? c.gamma : 0.0f,
      secondary ? c.delta : 0.0f,
      c.epsilon,
      c.mu,
      c.lambda,
      c.support_secondary_discount,
      c.support_quorum_bonus,
      c.support_quorum_threshold,
      static_cast<float>(c.support_quorum_cap),
      c.mu,
  };
}

}  // namespace quarnel

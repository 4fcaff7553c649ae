#include "python/relevance.hpp"

#include <algorithm>
#include <cmath>

namespace quarnel::python {

float squared_norm(std::span<const float> values) {
  float sum = 0.0f;
  for (float v : values) sum += v * v;
  return sum;
}

float cosine_relevance(std::span<const float> embedding, std::span<const float> query, float query_squared_norm) {
  if (query.empty()) return 0.0f;
  const std::size_t common = std::min(embedding.size(), query.size());
  float dot = 0.0f;
  for (std::size_t k = 0; k < common; ++k) dot += embedding[k] * query[k];
  const float embedding_squared_norm = squared_norm(embedding);
  if (!(embedding_squared_norm > 0.0f) || !(query_squared_norm > 0.0f)) return 0.0f;
  return dot / (std::sqrt(embedding_squared_norm) * std::sqrt(query_squared_norm));
}

}  // namespace quarnel::python

#pragma once
// Relevance of a candidate as the f32 cosine similarity of its embedding with
// the query embedding, with every sum in index order.
#include <span>

namespace quarnel::python {

float squared_norm(std::span<const float> values);

// The dot product covers the common prefix of the two vectors while each norm
// covers its whole vector; 0 for an empty query or a norm that is not positive.
float cosine_relevance(std::span<const float> embedding, std::span<const float> query, float query_squared_norm);

}  // namespace quarnel::python

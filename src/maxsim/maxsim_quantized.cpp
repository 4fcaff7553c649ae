#include "maxsim/maxsim_quantized.hpp"

#include <cstdint>
#include <limits>

#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "maxsim/code_products.hpp"
#include "maxsim/result_size.hpp"

namespace quarnel {
namespace {

// The f32 factors of one token that the pair estimate uses.
struct TokenTerms {
  float scale;
  float offset;
  float code_sum;
  float offset_times_w;  // qb * w, the first product of the fourth term (queries only)
};

TokenTerms terms_of(const QuantizedToken& token, float w) {
  return {token.scale, token.offset, static_cast<float>(token.code_sum), token.offset * w};
}

// The per-pair estimates, from the integer product of the two codes.
struct BitEstimate {
  float w;
  float operator()(const TokenTerms&, const TokenTerms&, std::uint32_t hamming) const {
    return w - 2.0f * static_cast<float>(hamming);
  }
};

struct AffineEstimate {
  float operator()(const TokenTerms& q, const TokenTerms& d, std::uint32_t integer) const {
    const float t1 = (q.scale * d.scale) * static_cast<float>(integer);
    const float t2 = (q.scale * d.offset) * q.code_sum;
    const float t3 = (q.offset * d.scale) * d.code_sum;
    const float t4 = q.offset_times_w * d.offset;
    return t1 + (t2 + (t3 + t4));
  }
};

// The integer products as types, so each scorer instantiation inlines its own.
struct HammingDistance {
  std::uint32_t operator()(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) const {
    return code_hamming_distance(a, b, n);
  }
};
struct NibbleProduct {
  std::uint32_t operator()(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) const {
    return code_dot_u4(a, b, n);
  }
};
struct ByteProduct {
  std::uint32_t operator()(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) const {
    return code_dot_u8(a, b, n);
  }
};

inline void keep_best(float& best, float value) {
  if (value > best) best = value;  // a NaN value never wins
}

// Scores query i against every document into row[0..documents.items()).
// Each document token is paired with all query tokens while its codes are
// in cache; every best[t] still sees the document tokens in ascending order.
template <typename Estimate, typename Product>
void score_query_row(const QuantizedTokenLists& queries, const QuantizedTokenLists& documents, float w,
                     const Estimate& estimate, Product product, std::size_t i, std::vector<TokenTerms>& query_terms,
                     std::vector<float>& best, float* row) {
  const std::size_t query_tokens = queries.tokens();
  const std::size_t code_bytes = queries.code_bytes();
  query_terms.clear();
  for (std::size_t t = 0; t < query_tokens; ++t) query_terms.push_back(terms_of(queries.token(i, t), w));

  for (std::size_t j = 0; j < documents.items(); ++j) {
    best.assign(query_tokens, -std::numeric_limits<float>::infinity());
    for (std::size_t s = 0; s < documents.tokens(); ++s) {
      const TokenTerms document_terms = terms_of(documents.token(j, s), w);
      const std::uint8_t* document_codes = documents.codes(j, s);
      for (std::size_t t = 0; t < query_tokens; ++t) {
        const std::uint32_t integer = product(queries.codes(i, t), document_codes, code_bytes);
        keep_best(best[t], estimate(query_terms[t], document_terms, integer));
      }
    }
    float score = 0.0f;
    for (std::size_t t = 0; t < query_tokens; ++t) score = score + best[t];
    row[j] = score;
  }
}

template <typename Estimate, typename Product>
void score_all(const QuantizedTokenLists& queries, const QuantizedTokenLists& documents, float w,
               const Estimate& estimate, Product product, std::vector<float>& scores) {
  const std::size_t n = documents.items();
  parallel_for(queries.items(), [&](std::size_t begin, std::size_t end) {
    std::vector<TokenTerms> query_terms;
    std::vector<float> best;
    query_terms.reserve(queries.tokens());
    best.reserve(queries.tokens());
    for (std::size_t i = begin; i < end; ++i) {
      score_query_row(queries, documents, w, estimate, product, i, query_terms, best, scores.data() + i * n);
    }
  });
}

}  // namespace

std::vector<float> max_sim_quantized(const QuantizedTokenLists& queries, const QuantizedTokenLists& documents,
                                     const QuantizerParams& params) {
  const bool pairs_scored =
      queries.items() != 0 && queries.tokens() != 0 && documents.items() != 0 && documents.tokens() != 0;
  if (pairs_scored && documents.code_bytes() < queries.code_bytes()) {
    throw_index_error("document token code", documents.code_bytes(), documents.code_bytes());
  }

  std::vector<float> scores(checked_product(queries.items(), documents.items(), "the score matrix"));
  const float w = params.component_count();
  switch (params.num_bits) {
    case 1:
      score_all(queries, documents, w, BitEstimate{w}, HammingDistance{}, scores);
      break;
    case 4:
      score_all(queries, documents, w, AffineEstimate{}, NibbleProduct{}, scores);
      break;
    case 8:
      score_all(queries, documents, w, AffineEstimate{}, ByteProduct{}, scores);
      break;
    default:
      throw_internal("Only 1, 4, or 8-bit supported");
  }
  return scores;
}

}  // namespace quarnel

#include "maxsim/quantized_tokens.hpp"

#include <cstring>

#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "maxsim/result_size.hpp"

namespace quarnel {

QuantizedTokenLists::QuantizedTokenLists(std::size_t items, std::size_t tokens, std::size_t code_bytes)
    : items_(items), tokens_(tokens), code_bytes_(code_bytes) {
  const std::size_t count = checked_product(items, tokens, "the token list");
  codes_.resize(checked_product(count, code_bytes, "the token codes"));
  records_.resize(count);
}

std::uint32_t code_sum_from_f32(float value) {
  if (!(value > 0.0f)) return 0;  // negative, zero or NaN
  if (value >= 4294967296.0f) return 4294967295u;
  return static_cast<std::uint32_t>(value);
}

namespace {

void require_metadata_covers(const TokenTensor<std::uint8_t>& codes, const TokenTensor<float>& meta) {
  if (!codes.has_rows()) return;
  if (meta.items < codes.items) throw_index_error("token metadata, first axis", meta.items, meta.items);
  if (meta.tokens < codes.tokens) throw_index_error("token metadata, second axis", meta.tokens, meta.tokens);
  if (meta.width < 4) throw_index_error("token metadata row", meta.width, meta.width);
}

void copy_codes(const TokenTensor<std::uint8_t>& codes, std::size_t item, std::size_t token, std::uint8_t* out) {
  if (codes.value_stride == 1) {
    if (codes.width != 0) std::memcpy(out, codes.row_bytes(item, token), codes.width);
    return;
  }
  for (std::size_t k = 0; k < codes.width; ++k) out[k] = codes.value(item, token, k);
}

QuantizedToken read_metadata(const TokenTensor<float>& meta, std::size_t item, std::size_t token) {
  QuantizedToken record;
  record.scale = meta.value(item, token, 0);
  record.offset = meta.value(item, token, 1);
  record.code_sum = code_sum_from_f32(meta.value(item, token, 2));
  record.spare = meta.value(item, token, 3);
  return record;
}

}  // namespace

QuantizedTokenLists make_token_lists(const TokenTensor<std::uint8_t>& codes, const TokenTensor<float>& meta) {
  require_metadata_covers(codes, meta);
  QuantizedTokenLists lists(codes.items, codes.tokens, codes.width);
  parallel_for(codes.items, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t t = 0; t < codes.tokens; ++t) {
        copy_codes(codes, i, t, lists.mutable_codes(i, t));
        lists.mutable_token(i, t) = read_metadata(meta, i, t);
      }
    }
  });
  return lists;
}

}  // namespace quarnel

#pragma once
// Quantised token vectors as the scorer reads them: per token, a run of code
// bytes and a metadata record (scale, offset, code sum, spare).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "maxsim/token_tensor.hpp"

namespace quarnel {

// Metadata of one quantised token. For 4- and 8-bit codes component k stands
// for scale * c_k + offset, and code_sum is the sum of all c_k. The code bytes
// themselves are held by the owning QuantizedTokenLists.
struct QuantizedToken {
  std::uint32_t code_sum = 0;
  float scale = 0.0f;
  float offset = 0.0f;
  float spare = 0.0f;  // carried along, not used in scoring
};

// One side of a batch (queries or documents): `items` lists of `tokens`
// tokens each, every token with `code_bytes` bytes. Codes are stored densely
// in item, token order so the scorer walks them sequentially.
class QuantizedTokenLists {
 public:
  QuantizedTokenLists() = default;
  QuantizedTokenLists(std::size_t items, std::size_t tokens, std::size_t code_bytes);

  std::size_t items() const { return items_; }
  std::size_t tokens() const { return tokens_; }
  std::size_t code_bytes() const { return code_bytes_; }

  const QuantizedToken& token(std::size_t item, std::size_t token) const { return records_[item * tokens_ + token]; }
  const std::uint8_t* codes(std::size_t item, std::size_t token) const {
    return codes_.data() + (item * tokens_ + token) * code_bytes_;
  }
  std::uint8_t* mutable_codes(std::size_t item, std::size_t token) {
    return codes_.data() + (item * tokens_ + token) * code_bytes_;
  }
  QuantizedToken& mutable_token(std::size_t item, std::size_t token) { return records_[item * tokens_ + token]; }

 private:
  std::size_t items_ = 0;
  std::size_t tokens_ = 0;
  std::size_t code_bytes_ = 0;
  std::vector<std::uint8_t> codes_;
  std::vector<QuantizedToken> records_;
};

// The f32 code sum as u32: truncated toward zero and clamped to the u32
// range; NaN gives 0.
std::uint32_t code_sum_from_f32(float value);

// Copies codes[i, t, :] and reads meta[i, t, 0..4) for every token, in
// parallel over items. The metadata array must cover the codes array on its
// first two axes and hold at least 4 values per row, else InternalError
// (checked before anything is read).
QuantizedTokenLists make_token_lists(const TokenTensor<std::uint8_t>& codes, const TokenTensor<float>& meta);

}  // namespace quarnel

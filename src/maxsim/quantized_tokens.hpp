#pragma once
// Quantised tokens as the scoring kernels read them. Each side of a call (its
// queries or its documents) is copied once into one contiguous run of 32-bit
// code words, with scale, offset and code sum in arrays of their own.
//
// Codes stand for components c_k: byte k for 8-bit codes, nibble k (low
// nibble of byte k / 2 first) for 4-bit codes; 1-bit codes are kept as bits.
// A layout packs them into words in the form an integer product reads
// fastest; components past the code's end are zero, which adds nothing to a
// product or a bit count as long as both sides use the same layout.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "backend/uninitialized.hpp"

#include "maxsim/token_tensor.hpp"

namespace quarnel {

enum class CodeLayout : std::uint8_t {
  Bits,           // 1-bit codes: 32 code bits (4 code bytes) per word
  BytePairs16,    // 8-bit codes: two components per word, 16 bits each
  NibblePairs16,  // 4-bit codes: two components per word, 16 bits each
  NibbleQuads8,   // 4-bit codes: four components per word, 8 bits each
};

// Words per token for codes of code_bytes bytes.
std::size_t code_steps(CodeLayout layout, std::size_t code_bytes);

// One item of a prepared side, as a kernel reads it.
struct CodeRows {
  const std::uint32_t* words = nullptr;
  const float* scale = nullptr;
  const float* offset = nullptr;
  const float* code_sum = nullptr;  // the u32 code sum, converted to f32
  std::size_t count = 0;            // tokens of the item
};


// Tokens sit in slots, `lanes` slots to a block; word k of the slots of one
// block are adjacent (block-major, then word, then slot). Queries use one
// lane, so their words are token-major; documents use eight, and an item's
// last block repeats its last token in the slots it does not fill (a repeated
// token cannot change a maximum).
class CodeSide {
 public:
  CodeSide(std::size_t lanes, std::size_t steps, const std::vector<std::size_t>& item_tokens);

  std::size_t items() const { return first_slot_.size() - 1; }
  std::size_t steps() const { return steps_; }
  CodeRows item(std::size_t i) const;

  // Writes block `block` of item i: its lanes' words (`lanes` runs of
  // steps words, one per slot) and their scale, offset and code sum.
  void set_block(std::size_t i, std::size_t block, const std::uint32_t* words, const float* scale,
                 const float* offset, const float* code_sum);

 private:
  std::size_t lanes_;
  std::size_t steps_;
  std::vector<std::size_t> first_slot_;  // per item, then the total
  std::vector<std::size_t> tokens_;
  // Every block is written once by set_block before anything reads it.
  UninitializedVector<std::uint32_t> words_;
  UninitializedVector<float> scale_, offset_, code_sum_;
};

// The f32 code sum as u32: truncated toward zero and clamped to the u32
// range; NaN gives 0.
std::uint32_t code_sum_from_f32(float value);

// Refuses (InternalError) a metadata array that does not cover the codes
// array on its first two axes or holds fewer than 4 values per row; nothing
// is checked when the codes have no rows.
void require_metadata_covers(const TokenTensor<std::uint8_t>& codes, const TokenTensor<float>& meta);

// Where the tokens of one side come from: item i has item_tokens[i] tokens;
// token t's codes start at code_row(i, t) (code_width bytes, value stride
// in bytes) and its metadata (scale, offset, code sum) at meta_row(i, t).
struct CodeTokenSource {
  std::vector<std::size_t> item_tokens;
  std::function<const unsigned char*(std::size_t, std::size_t)> code_row;
  std::function<const unsigned char*(std::size_t, std::size_t)> meta_row;
  std::size_t code_width = 0;
  std::ptrdiff_t code_value_stride = 1;
  std::ptrdiff_t meta_value_stride = sizeof(float);
};

// The source of a uniform batch: every item has codes.tokens tokens.
CodeTokenSource uniform_source(const TokenTensor<std::uint8_t>& codes, const TokenTensor<float>& meta);

// Copies the first code_bytes bytes of every token's codes (all of them when
// a code is shorter: the missing bytes count as zero) and its scale, offset
// and code sum, in parallel over items.
CodeSide make_code_side(const CodeTokenSource& source, CodeLayout layout, std::size_t lanes, std::size_t code_bytes);

}  // namespace quarnel

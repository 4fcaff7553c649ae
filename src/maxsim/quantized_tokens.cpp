#include "maxsim/quantized_tokens.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "maxsim/result_size.hpp"

namespace quarnel {
namespace {

std::size_t components_per_word(CodeLayout layout) {
  switch (layout) {
    case CodeLayout::Bits:
      return 32;
    case CodeLayout::BytePairs16:
    case CodeLayout::NibblePairs16:
      return 2;
    case CodeLayout::NibbleQuads8:
      return 4;
  }
  return 1;
}

// Components (or, for bits, bits) in a code of n bytes.
std::size_t components(CodeLayout layout, std::size_t n) {
  switch (layout) {
    case CodeLayout::Bits:
      return checked_product(n, 8, "the code length");
    case CodeLayout::BytePairs16:
      return n;
    case CodeLayout::NibblePairs16:
    case CodeLayout::NibbleQuads8:
      return checked_product(n, 2, "the code length");
  }
  return n;
}

static_assert(std::endian::native == std::endian::little, "code words are read as little-endian bytes");

// Sixteen code bytes as the 32 bytes of their words in each 16-bit layout
// (words are little-endian, so component c sits at bytes 2c and 2c + 1).
void spread_sixteen(CodeLayout layout, const std::uint8_t* code, unsigned char* out) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(code));
  const __m128i zero = _mm_setzero_si128();
  __m128i first, second;
  if (layout == CodeLayout::BytePairs16) {
    first = _mm_unpacklo_epi8(bytes, zero);
    second = _mm_unpackhi_epi8(bytes, zero);
  } else {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i low = _mm_and_si128(bytes, nibble), high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
    if (layout == CodeLayout::NibbleQuads8) {
      first = _mm_unpacklo_epi8(low, high);
      second = _mm_unpackhi_epi8(low, high);
    } else {
      // NibblePairs16 spreads each byte over one whole word: 64 bytes, written in two halves.
      const __m128i pairs_low = _mm_unpacklo_epi8(low, high), pairs_high = _mm_unpackhi_epi8(low, high);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(pairs_low, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(pairs_low, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_unpacklo_epi8(pairs_high, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48), _mm_unpackhi_epi8(pairs_high, zero));
      return;
    }
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), second);
}

// The words of one code of n bytes; past the code's end they are zero.
void pack_words(CodeLayout layout, const std::uint8_t* code, std::size_t n, std::uint32_t* words,
                std::size_t steps) {
  std::fill(words, words + steps, 0u);
  std::size_t b = 0;
  switch (layout) {
    case CodeLayout::Bits:
      // Byte b is bits 8 * (b % 4) and up of word b / 4: the bytes in order, little-endian.
      if (n != 0) std::memcpy(words, code, n);
      return;
    case CodeLayout::BytePairs16:
      for (; b + 16 <= n; b += 16) spread_sixteen(layout, code + b, reinterpret_cast<unsigned char*>(words + b / 2));
      for (; b < n; ++b) words[b / 2] |= static_cast<std::uint32_t>(code[b]) << (16 * (b % 2));
      return;
    case CodeLayout::NibblePairs16:
      for (; b + 16 <= n; b += 16) spread_sixteen(layout, code + b, reinterpret_cast<unsigned char*>(words + b));
      for (; b < n; ++b) words[b] = (code[b] & 0x0Fu) | static_cast<std::uint32_t>(code[b] >> 4) << 16;
      return;
    case CodeLayout::NibbleQuads8:
      for (; b + 16 <= n; b += 16) spread_sixteen(layout, code + b, reinterpret_cast<unsigned char*>(words + b / 2));
      for (; b < n; ++b)
        words[b / 2] |= ((code[b] & 0x0Fu) | static_cast<std::uint32_t>(code[b] >> 4) << 8) << (16 * (b % 2));
      return;
  }
}

}  // namespace

std::size_t code_steps(CodeLayout layout, std::size_t code_bytes) {
  const std::size_t per_word = components_per_word(layout);
  return components(layout, code_bytes) / per_word + (components(layout, code_bytes) % per_word != 0);
}

CodeSide::CodeSide(std::size_t lanes, std::size_t steps, const std::vector<std::size_t>& item_tokens)
    : lanes_(lanes), steps_(steps), first_slot_(item_tokens.size() + 1, 0), tokens_(item_tokens) {
  for (std::size_t i = 0; i < item_tokens.size(); ++i) {
    const std::size_t blocks = item_tokens[i] / lanes + (item_tokens[i] % lanes != 0);
    first_slot_[i + 1] = first_slot_[i] + checked_product(blocks, lanes, "the token slots");
  }
  const std::size_t slots = first_slot_.back();
  words_.resize(checked_product(slots, steps, "the token codes"));
  scale_.resize(slots);
  offset_.resize(slots);
  code_sum_.resize(slots);
}

CodeRows CodeSide::item(std::size_t i) const {
  const std::size_t slot = first_slot_[i];
  return {words_.data() + slot * steps_, scale_.data() + slot, offset_.data() + slot, code_sum_.data() + slot,
          tokens_[i]};
}

void CodeSide::set_token(std::size_t i, std::size_t token, const std::uint32_t* words, float scale, float offset,
                         float code_sum) {
  const std::size_t tokens = tokens_[i];
  // The token fills its own slot and, if it is the item's last, the slots after it in its block.
  const std::size_t last = token + 1 == tokens ? (token / lanes_ + 1) * lanes_ : token + 1;
  for (std::size_t position = token; position < last; ++position) {
    const std::size_t slot = first_slot_[i] + position;
    const std::size_t block = slot / lanes_, lane = slot % lanes_;
    std::uint32_t* out = words_.data() + block * steps_ * lanes_ + lane;
    for (std::size_t k = 0; k < steps_; ++k) out[k * lanes_] = words[k];
    scale_[slot] = scale;
    offset_[slot] = offset;
    code_sum_[slot] = code_sum;
  }
}

std::uint32_t code_sum_from_f32(float value) {
  if (!(value > 0.0f)) return 0;  // negative, zero or NaN
  if (value >= 4294967296.0f) return 4294967295u;
  return static_cast<std::uint32_t>(value);
}

void require_metadata_covers(const TokenTensor<std::uint8_t>& codes, const TokenTensor<float>& meta) {
  if (!codes.has_rows()) return;
  if (meta.items < codes.items) throw_index_error("token metadata, first axis", meta.items, meta.items);
  if (meta.tokens < codes.tokens) throw_index_error("token metadata, second axis", meta.tokens, meta.tokens);
  if (meta.width < 4) throw_index_error("token metadata row", meta.width, meta.width);
}

CodeTokenSource uniform_source(const TokenTensor<std::uint8_t>& codes, const TokenTensor<float>& meta) {
  CodeTokenSource source;
  source.item_tokens.assign(codes.items, codes.tokens);
  source.code_row = [&codes](std::size_t i, std::size_t t) { return codes.row_bytes(i, t); };
  source.meta_row = [&meta](std::size_t i, std::size_t t) { return meta.row_bytes(i, t); };
  source.code_width = codes.width;
  source.code_value_stride = codes.value_stride;
  source.meta_value_stride = meta.value_stride;
  return source;
}

CodeSide make_code_side(const CodeTokenSource& source, CodeLayout layout, std::size_t lanes, std::size_t code_bytes) {
  const std::size_t steps = code_steps(layout, code_bytes);
  CodeSide side(lanes, steps, source.item_tokens);
  const std::size_t present = std::min(code_bytes, source.code_width);
  const auto meta_value = [&](const unsigned char* row, std::size_t k) {
    float v;
    std::memcpy(&v, row + static_cast<std::ptrdiff_t>(k) * source.meta_value_stride, sizeof v);
    return v;
  };
  parallel_for(source.item_tokens.size(), [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint8_t> code(code_bytes, 0);
    std::vector<std::uint32_t> words(steps);
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t t = 0; t < source.item_tokens[i]; ++t) {
        const unsigned char* row = source.code_row(i, t);
        if (source.code_value_stride == 1) {
          if (present != 0) std::memcpy(code.data(), row, present);
        } else {
          for (std::size_t k = 0; k < present; ++k) code[k] = row[static_cast<std::ptrdiff_t>(k) * source.code_value_stride];
        }
        pack_words(layout, code.data(), code_bytes, words.data(), steps);
        const unsigned char* meta = source.meta_row(i, t);
        side.set_token(i, t, words.data(), meta_value(meta, 0), meta_value(meta, 1),
                       static_cast<float>(code_sum_from_f32(meta_value(meta, 2))));
      }
    }
  });
  return side;
}

}  // namespace quarnel

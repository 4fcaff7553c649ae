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
      return allocation_size(n, 8, "the code length");
    case CodeLayout::BytePairs16:
      return n;
    case CodeLayout::NibblePairs16:
    case CodeLayout::NibbleQuads8:
      return allocation_size(n, 2, "the code length");
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
    first_slot_[i + 1] = first_slot_[i] + allocation_size(blocks, lanes, "the token slots");
  }
  const std::size_t slots = first_slot_.back();
  words_.resize(allocation_size(slots, steps, "the token codes"));
  scale_.resize(slots);
  offset_.resize(slots);
  code_sum_.resize(slots);
}

CodeRows CodeSide::item(std::size_t i) const {
  const std::size_t slot = first_slot_[i];
  return {words_.data() + slot * steps_, scale_.data() + slot, offset_.data() + slot, code_sum_.data() + slot,
          tokens_[i]};
}

void CodeSide::set_block(std::size_t i, std::size_t block, const std::uint32_t* words, const float* scale,
                         const float* offset, const float* code_sum) {
  const std::size_t slot = first_slot_[i] + block * lanes_;
  std::uint32_t* out = words_.data() + slot * steps_;
  if (lanes_ % 4 == 0) {
    // Four lanes by four words at a time, transposed in registers.
    std::size_t k = 0;
    for (; k + 4 <= steps_; k += 4) {
      for (std::size_t lane = 0; lane < lanes_; lane += 4) {
        const std::uint32_t* in = words + lane * steps_ + k;
        __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + steps_));
        __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * steps_));
        __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * steps_));
        const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);
        const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);
        r0 = _mm_unpacklo_epi64(t0, t1);
        r1 = _mm_unpackhi_epi64(t0, t1);
        r2 = _mm_unpacklo_epi64(t2, t3);
        r3 = _mm_unpackhi_epi64(t2, t3);
        std::uint32_t* row = out + k * lanes_ + lane;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row), r0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + lanes_), r1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * lanes_), r2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 3 * lanes_), r3);
      }
    }
    for (; k < steps_; ++k)
      for (std::size_t lane = 0; lane < lanes_; ++lane) out[k * lanes_ + lane] = words[lane * steps_ + k];
  } else {
    for (std::size_t k = 0; k < steps_; ++k)
      for (std::size_t lane = 0; lane < lanes_; ++lane) out[k * lanes_ + lane] = words[lane * steps_ + k];
  }
  std::copy(scale, scale + lanes_, scale_.begin() + static_cast<std::ptrdiff_t>(slot));
  std::copy(offset, offset + lanes_, offset_.begin() + static_cast<std::ptrdiff_t>(slot));
  std::copy(code_sum, code_sum + lanes_, code_sum_.begin() + static_cast<std::ptrdiff_t>(slot));
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
    std::vector<std::uint32_t> words(lanes * steps);
    std::vector<float> meta(3 * lanes);
    for (std::size_t i = begin; i < end; ++i) {
      const std::size_t tokens = source.item_tokens[i];
      for (std::size_t block = 0; block * lanes < tokens; ++block) {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
          // Past the item's last token, its last block repeats that token.
          const std::size_t t = std::min(block * lanes + lane, tokens - 1);
          const unsigned char* row = source.code_row(i, t);
          if (source.code_value_stride == 1) {
            if (present != 0) std::memcpy(code.data(), row, present);
          } else {
            for (std::size_t k = 0; k < present; ++k) code[k] = row[static_cast<std::ptrdiff_t>(k) * source.code_value_stride];
          }
          pack_words(layout, code.data(), code_bytes, words.data() + lane * steps, steps);
          const unsigned char* meta_row = source.meta_row(i, t);
          meta[lane] = meta_value(meta_row, 0);
          meta[lanes + lane] = meta_value(meta_row, 1);
          meta[2 * lanes + lane] = static_cast<float>(code_sum_from_f32(meta_value(meta_row, 2)));
        }
        side.set_block(i, block, words.data(), meta.data(), meta.data() + lanes, meta.data() + 2 * lanes);
      }
    }
  });
  return side;
}

}  // namespace quarnel

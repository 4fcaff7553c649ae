// quarnel._native: the variable-length MaxSim entry points behind
// quarnel.maxsim, quarnel.maxsim_quantized and quarnel.maxsim_binary_documents;
// the selection layer's solve and dot products (solve_binding, dots).
// The Python layer converts and validates the caller's input; this module
// copies the tokens it scores (with the GIL held), then releases the GIL and
// scores on the shared worker pool, so other threads may change or drop
// their arrays meanwhile; on the main thread, Ctrl-C stops a long call.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "backend/simd.hpp"
#include "backend/thread_pool.hpp"
#include "core/panic.hpp"
#include "maxsim/maxsim_f32.hpp"
#include "maxsim/maxsim_items.hpp"
#include "maxsim/maxsim_kernels.hpp"
#include "maxsim/maxsim_quantized.hpp"
#include "maxsim/quantizer_params.hpp"
#include "python/keyword_names.hpp"
#include "python/main_interpreter.hpp"
#include "python/signal_poll.hpp"
#include "python/unlocked.hpp"
#include "python_native/dots.hpp"
#include "python_native/restore.hpp"
#include "python_native/solve_binding.hpp"

namespace py = pybind11;

namespace quarnel::native {
namespace {

using python::run_unlocked;
using python::SignalPoll;

[[noreturn]] void value_error(const std::string& message) { throw py::value_error(message); }

// One side's token rows, packed: item i holds rows offsets[i]..offsets[i+1]
// of `row_bytes` bytes each.
struct PackedRows {
  std::vector<unsigned char> bytes;
  std::vector<std::size_t> offsets{0};
  std::size_t row_bytes = 0;
  std::size_t width = 0;  // values per row

  std::size_t items() const { return offsets.size() - 1; }
  const unsigned char* row(std::size_t r) const { return bytes.data() + r * row_bytes; }
  std::size_t count(std::size_t i) const { return offsets[i + 1] - offsets[i]; }
};

std::vector<std::int64_t> index_values(const py::handle& index, const char* name) {
  const auto array = py::array_t<std::int64_t, py::array::forcecast>::ensure(index);
  if (!array || array.ndim() != 1) value_error(std::string(name) + " must be a 1-D integer array");
  return std::vector<std::int64_t>(array.data(), array.data() + array.size());
}

// Copies the rows an index names: for a 3-D (items, tokens, width) array the
// index holds lengths (the first ones of each item count), for a 2-D
// (tokens, width) array it holds offsets (item i is rows offsets[i] to
// offsets[i + 1]). Any strides and alignment are accepted.
PackedRows pack_rows(const py::array& tokens, const py::handle& index, std::size_t value_bytes, const char* name,
                     const char* index_name) {
  // The index first: converting it may run Python code that resizes the tokens.
  const std::vector<std::int64_t> idx = index_values(index, index_name);
  if (tokens.ndim() != 2 && tokens.ndim() != 3) value_error(std::string(name) + " must have 2 or 3 dimensions");
  const bool padded = tokens.ndim() == 3;
  const py::ssize_t width = tokens.shape(tokens.ndim() - 1);
  PackedRows packed;
  packed.width = static_cast<std::size_t>(width);
  packed.row_bytes = packed.width * value_bytes;
  const auto* base = static_cast<const unsigned char*>(tokens.data());
  std::vector<std::pair<const unsigned char*, std::size_t>> runs;  // first row, rows
  if (padded) {
    if (static_cast<py::ssize_t>(idx.size()) != tokens.shape(0))
      value_error(std::string(index_name) + " must have one length per item of " + name);
    for (std::size_t i = 0; i < idx.size(); ++i) {
      if (idx[i] < 0 || idx[i] > tokens.shape(1))
        value_error(std::string(index_name) + "[" + std::to_string(i) + "] must be between 0 and " +
                    std::to_string(tokens.shape(1)));
      runs.emplace_back(base + static_cast<py::ssize_t>(i) * tokens.strides(0), static_cast<std::size_t>(idx[i]));
    }
  } else {
    if (idx.empty() || idx[0] != 0) value_error(std::string(index_name) + " must start at 0");
    for (std::size_t i = 0; i + 1 < idx.size(); ++i) {
      if (idx[i + 1] < idx[i] || idx[i + 1] > tokens.shape(0))
        value_error(std::string(index_name) + " must be non-decreasing and at most " + std::to_string(tokens.shape(0)));
      runs.emplace_back(base + idx[i] * tokens.strides(0), static_cast<std::size_t>(idx[i + 1] - idx[i]));
    }
  }
  std::size_t rows = 0;
  for (const auto& run : runs) rows += run.second;
  packed.bytes.resize(std::max<std::size_t>(rows * packed.row_bytes, 1));
  const py::ssize_t token_stride = tokens.strides(tokens.ndim() - 2);
  const py::ssize_t value_stride = tokens.strides(tokens.ndim() - 1);
  unsigned char* out = packed.bytes.data();
  for (const auto& [first, count] : runs) {
    for (std::size_t t = 0; t < count; ++t, out += packed.row_bytes) {
      const unsigned char* row = first + static_cast<py::ssize_t>(t) * token_stride;
      if (value_stride == static_cast<py::ssize_t>(value_bytes)) {
        if (packed.row_bytes != 0) std::memcpy(out, row, packed.row_bytes);
      } else {
        for (py::ssize_t k = 0; k < width; ++k) std::memcpy(out + k * value_bytes, row + k * value_stride, value_bytes);
      }
    }
    packed.offsets.push_back(packed.offsets.back() + count);
  }
  return packed;
}

template <typename T>
py::array typed(const py::handle& value, const char* name, const char* dtype) {
  if (!py::isinstance<py::array>(value) || !py::array_t<T>::check_(value))
    throw py::type_error(std::string(name) + " must be a numpy array of dtype " + dtype);
  return py::reinterpret_borrow<py::array>(value);
}

std::vector<TokenRows> token_rows(const PackedRows& packed) {
  std::vector<TokenRows> rows(packed.items());
  for (std::size_t i = 0; i < rows.size(); ++i)
    rows[i] = {packed.row(packed.offsets[i]), packed.count(i), static_cast<std::ptrdiff_t>(packed.row_bytes)};
  return rows;
}

// The chosen pairs, or none for the full matrix.
struct Pairs {
  std::vector<std::size_t> query, document;
};

std::optional<Pairs> read_pairs(const py::object& query_of, const py::object& document_of, std::size_t queries,
                                std::size_t documents) {
  if (query_of.is_none()) return std::nullopt;
  Pairs pairs;
  for (std::int64_t q : index_values(query_of, "query_of")) {
    if (q < 0 || static_cast<std::size_t>(q) >= queries) value_error("query_of holds an index out of range");
    pairs.query.push_back(static_cast<std::size_t>(q));
  }
  for (std::int64_t d : index_values(document_of, "candidates")) {
    if (d < 0 || static_cast<std::size_t>(d) >= documents)
      value_error("candidates hold a document index out of range: " + std::to_string(d));
    pairs.document.push_back(static_cast<std::size_t>(d));
  }
  if (pairs.query.size() != pairs.document.size()) value_error("query_of and candidates differ in length");
  return pairs;
}

// The result, allocated before any scoring: (queries, documents) or one
// score per pair.
py::array_t<float> result_array(const std::optional<Pairs>& pairs, std::size_t queries, std::size_t documents) {
  std::size_t cells = 0;
  if (__builtin_mul_overflow(queries, documents, &cells) || cells > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 4)
    throw std::bad_alloc();
  if (pairs) return py::array_t<float>(static_cast<py::ssize_t>(pairs->query.size()));
  return py::array_t<float>({static_cast<py::ssize_t>(queries), static_cast<py::ssize_t>(documents)});
}

ScorePairs view(const Pairs& pairs) { return {pairs.query, pairs.document}; }

// Scores packed query rows against packed document rows, every pair or the
// listed ones, with the lock released; the kernels take (queries, documents,
// dim, [pairs,] out, path, poll).
template <typename ItemsKernel, typename PairsKernel>
py::array score_rows(const PackedRows& q, const PackedRows& d, const py::object& query_of,
                     const py::object& document_of, ItemsKernel score_items, PairsKernel score_pairs) {
  const std::optional<Pairs> pairs = read_pairs(query_of, document_of, q.items(), d.items());
  py::array_t<float> result = result_array(pairs, q.items(), d.items());
  float* out = result.mutable_data();
  SignalPoll poll;
  run_unlocked([&] {
    const std::vector<TokenRows> qr = token_rows(q), dr = token_rows(d);
    if (pairs) score_pairs(qr, dr, q.width, view(*pairs), out, active_simd_path(), std::ref(poll));
    else score_items(qr, dr, q.width, out, active_simd_path(), std::ref(poll));
    return true;
  });
  return result;
}

py::array maxsim_f32(const py::object& queries, const py::object& query_index, const py::object& documents,
                     const py::object& document_index, const py::object& query_of, const py::object& document_of) {
  const PackedRows q = pack_rows(typed<float>(queries, "queries", "float32"), query_index, 4, "queries", "query index");
  const PackedRows d =
      pack_rows(typed<float>(documents, "documents", "float32"), document_index, 4, "documents", "document index");
  if (q.width != d.width) value_error("queries and documents must have the same dimension");
  return score_rows(q, d, query_of, document_of, max_sim_f32_items, max_sim_f32_pairs);
}

py::array maxsim_binary(const py::object& queries, const py::object& query_index, const py::object& documents,
                        const py::object& document_index, const py::object& query_of, const py::object& document_of) {
  const PackedRows q = pack_rows(typed<float>(queries, "queries", "float32"), query_index, 4, "queries", "query index");
  const PackedRows d = pack_rows(typed<std::uint8_t>(documents, "documents", "uint8"), document_index, 1, "documents",
                                 "document index");
  if (d.width * 8 < q.width) value_error("documents must hold at least one bit per query dimension");
  return score_rows(q, d, query_of, document_of, max_sim_binary_documents, max_sim_binary_document_pairs);
}

// Codes and metadata of one side describe the same tokens: both padded or
// both packed, with the same items and the same tokens per item. Otherwise
// one index would read one of them past its end.
void check_same_tokens(const py::object& codes, const py::object& meta, const PackedRows& packed_codes,
                       const PackedRows& packed_meta, const char* side) {
  if (py::reinterpret_borrow<py::array>(codes).ndim() != py::reinterpret_borrow<py::array>(meta).ndim())
    value_error(std::string(side) + "_codes and " + side + "_meta must both be padded 3-D or both packed 2-D arrays");
  if (packed_codes.offsets != packed_meta.offsets)
    value_error(std::string(side) + "_codes and " + side + "_meta must hold the same items and tokens per item");
}

CodeTokenSource packed_source(const PackedRows& codes, const PackedRows& meta) {
  CodeTokenSource source;
  for (std::size_t i = 0; i < codes.items(); ++i) source.item_tokens.push_back(codes.count(i));
  source.code_row = [&codes](std::size_t i, std::size_t t) { return codes.row(codes.offsets[i] + t); };
  source.meta_row = [&meta](std::size_t i, std::size_t t) { return meta.row(meta.offsets[i] + t); };
  source.code_width = codes.width;
  return source;
}

py::array maxsim_codes(const py::object& q_codes, const py::object& q_meta, const py::object& query_index,
                       const py::object& d_codes, const py::object& d_meta, const py::object& document_index,
                       std::uint64_t num_bits, std::uint64_t dim, const py::object& query_of,
                       const py::object& document_of) {
  const QuantizerParams params = make_quantizer_params(num_bits, dim);
  const PackedRows qc = pack_rows(typed<std::uint8_t>(q_codes, "query_codes", "uint8"), query_index, 1, "query_codes",
                                  "query index");
  const PackedRows qm = pack_rows(typed<float>(q_meta, "query_meta", "float32"), query_index, 4, "query_meta",
                                  "query index");
  const PackedRows dc = pack_rows(typed<std::uint8_t>(d_codes, "document_codes", "uint8"), document_index, 1,
                                  "document_codes", "document index");
  const PackedRows dm = pack_rows(typed<float>(d_meta, "document_meta", "float32"), document_index, 4,
                                  "document_meta", "document index");
  check_same_tokens(q_codes, q_meta, qc, qm, "query");
  check_same_tokens(d_codes, d_meta, dc, dm, "document");
  if (qm.width < 4 || dm.width < 4) value_error("metadata rows must hold at least 4 values");
  if (dc.width < qc.width) value_error("document codes must be at least as long as query codes");
  const std::optional<Pairs> pairs = read_pairs(query_of, document_of, qc.items(), dc.items());
  py::array_t<float> result = result_array(pairs, qc.items(), dc.items());
  float* out = result.mutable_data();
  SignalPoll poll;
  run_unlocked([&] {
    const CodeLayout layout = code_layout(num_bits);
    const CodeSide queries = make_code_side(packed_source(qc, qm), layout, 1, qc.width);
    const CodeSide documents = make_code_side(packed_source(dc, dm), layout, code_document_lanes(num_bits), qc.width);
    const float w = params.component_count();
    if (pairs) max_sim_code_pairs(queries, documents, num_bits, w, view(*pairs), out, active_simd_path(), std::ref(poll));
    else max_sim_code_items(queries, documents, num_bits, w, out, active_simd_path(), std::ref(poll));
    return true;
  });
  return result;
}

}  // namespace
}  // namespace quarnel::native

#define PyInit__native quarnel_native_bound_init
PYBIND11_MODULE(_native, m) {
  using namespace quarnel::native;
  m.doc() = "Private native entry points of the quarnel package";
  // Internal failures surface as the extension's PanicException. The class
  // is held for the life of the process (never released at exit).
  static PyObject* panic = py::object(py::module_::import("quarnel_solver").attr("PanicException")).release().ptr();
  py::register_local_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const quarnel::InternalError& e) {
      PyErr_SetString(panic, e.what());
    }
  });
  const auto none = py::none();
  m.def("simd_path", [] { return std::string(quarnel::simd_path_name(quarnel::active_simd_path())); },
        "The vector instruction set the kernels run on: 'sse2', 'avx2' or 'avx512'");
  m.def(
      "start_pool",
      [](std::size_t threads) {
        if (threads < 1) value_error("threads: expected a positive int, got 0");
        return quarnel::start_pool(threads);
      },
      py::arg("threads"),
      "Starts this module's worker pool with `threads` threads unless it is already running; returns the "
      "running pool's thread count, which differs from `threads` when the pool had started before");
  m.def("maxsim_f32", &maxsim_f32, py::arg("queries"), py::arg("query_index"), py::arg("documents"),
        py::arg("document_index"), py::arg("query_of") = none, py::arg("document_of") = none);
  m.def("maxsim_binary", &maxsim_binary, py::arg("queries"), py::arg("query_index"), py::arg("documents"),
        py::arg("document_index"), py::arg("query_of") = none, py::arg("document_of") = none);
  m.def("maxsim_codes", &maxsim_codes, py::arg("query_codes"), py::arg("query_meta"), py::arg("query_index"),
        py::arg("document_codes"), py::arg("document_meta"), py::arg("document_index"), py::arg("num_bits"),
        py::arg("dim"), py::arg("query_of") = none, py::arg("document_of") = none);
  register_restore(m);
  register_dots(m);
  register_solve(m);
  quarnel::python::guard_keyword_names(m, m.attr("simd_path"));
  // Threads taking the interpreter lock back pass before finalization starts.
  py::module_::import("atexit").attr("register")(py::cpp_function(&quarnel::python::close_exit_gate));
}
#undef PyInit__native

extern "C" PYBIND11_EXPORT PyObject* PyInit__native() {
  return quarnel::python::in_main_interpreter("quarnel._native") ? quarnel_native_bound_init() : nullptr;
}

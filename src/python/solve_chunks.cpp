// solve: candidates as a list of chunk dictionaries, with per-key defaults
// and the callers' own chunk ids.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/constraints.hpp"
#include "core/role.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/constraints_record.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/relevance.hpp"
#include "python/signal_poll.hpp"
#include "python/solve_paths.hpp"
#include "python/unlocked.hpp"

namespace quarnel::python {
namespace {

// The dictionaries' values, one column per key, in list order.
struct ChunkColumns {
  std::vector<std::string> chunk_ids;
  std::vector<float> embeddings;  // concatenated rows of embedding_dim values
  std::size_t embedding_dim = 0;
  std::vector<std::uint32_t> token_costs;
  std::vector<float> density_scores;
  std::vector<float> centrality_scores;
  std::vector<float> recency_scores;
  std::vector<float> auxiliary_scores;
  std::vector<Role> roles;
  std::vector<std::int32_t> cluster_ids;
};

// The value under `key`, held by a new reference (a conversion may run Python
// code that changes the dictionary), or null when the key is missing.
py::object lookup(py::handle chunk, const char* key) {
  const py::str key_object(key);
  PyObject* value = PyDict_GetItemWithError(chunk.ptr(), key_object.ptr());
  if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(value);
}

// A 1-D float32 or float64 array of native byte order, read without creating
// a Python object per element; the values are those element-wise conversion gives.
bool append_numpy_embedding(py::handle value, std::vector<float>& out) {
  if (!py::isinstance<py::array>(value)) return false;
  const auto array = py::reinterpret_borrow<py::array>(value);
  if (array.ndim() != 1) return false;
  const bool single = py::array_t<float, 0>::check_(array);
  if (!single && !py::array_t<double, 0>::check_(array)) return false;
  const auto* base = static_cast<const char*>(array.data());
  const py::ssize_t stride = array.strides(0);
  for (py::ssize_t k = 0; k < array.shape(0); ++k) {
    const char* element = base + k * stride;
    if (single) {
      float v;
      std::memcpy(&v, element, sizeof v);
      out.push_back(v);
    } else {
      double v;
      std::memcpy(&v, element, sizeof v);
      out.push_back(static_cast<float>(v));
    }
  }
  return true;
}

// A list or tuple of exact floats, the usual embedding, read straight from its
// storage: reading an exact float runs no Python code, so nothing can change
// the list meanwhile. False (and `out` as it was) at the first other element.
bool append_float_items(PyObject* sequence, std::vector<float>& out) {
  if (!PyList_Check(sequence) && !PyTuple_Check(sequence)) return false;
  const std::size_t start = out.size();
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
  PyObject** items = PySequence_Fast_ITEMS(sequence);
  out.resize(start + static_cast<std::size_t>(size));
  float* values = out.data() + start;
  for (Py_ssize_t k = 0; k < size; ++k) {
    if (!PyFloat_CheckExact(items[k])) {
      out.resize(start);
      return false;
    }
    values[k] = static_cast<float>(PyFloat_AS_DOUBLE(items[k]));
  }
  return true;
}

// Appends the embedding's elements, each narrowed to f32, and returns how many.
std::size_t append_embedding(py::handle value, std::vector<float>& out) {
  const std::size_t start = out.size();
  // A str is a sequence, but never one of numbers.
  if (PyUnicode_Check(value.ptr())) raise_type_error("a str is not accepted as an embedding");
  if (append_numpy_embedding(value, out)) return out.size() - start;
  if (!PySequence_Check(value.ptr())) {
    raise_type_error("'" + type_name(value) + "' object cannot be converted to a sequence of floats");
  }
  if (append_float_items(value.ptr(), out)) return out.size() - start;
  // An element's __float__ may change the caller's list; the values are read
  // from a tuple of the elements as they were, which nothing can change.
  const py::tuple items = snapshot(value);
  for (const py::handle item : items) out.push_back(to_f32(item));
  return out.size() - start;
}

// Reads one dictionary, key by key, into the columns.
void read_chunk(py::handle chunk, std::size_t position, ChunkColumns& columns) {
  if (!PyDict_Check(chunk.ptr())) raise_type_error("'" + type_name(chunk) + "' object cannot be converted to 'dict'");

  const py::object chunk_id = lookup(chunk, "chunk_id");
  columns.chunk_ids.push_back(chunk_id ? to_text(chunk_id) : "chunk_" + std::to_string(position));

  // The content is checked but not needed by the solve.
  if (const py::object content = lookup(chunk, "content"); content && !PyUnicode_Check(content.ptr())) {
    raise_type_error("'" + type_name(content) + "' object cannot be converted to 'str'");
  }

  const py::object embedding = lookup(chunk, "embedding");
  if (!embedding) raise_value_error("Missing embedding");
  const std::size_t length = append_embedding(embedding, columns.embeddings);
  // Rows are laid end to end with the first chunk's length; a row of another
  // length would shift every row after it.
  if (position == 0) {
    columns.embedding_dim = length;
  } else if (length != columns.embedding_dim) {
    raise_value_error("embedding of chunk " + std::to_string(position) + " has length " + std::to_string(length) +
                      ", expected " + std::to_string(columns.embedding_dim) +
                      " (the length of the first chunk's embedding)");
  }

  const py::object tokens = lookup(chunk, "token_count");
  columns.token_costs.push_back(tokens ? to_u32(tokens) : 100u);
  const auto score = [&](const char* key, float missing) {
    const py::object value = lookup(chunk, key);
    return value ? to_f32(value) : missing;
  };
  columns.density_scores.push_back(score("fact_density", 0.5f));
  columns.centrality_scores.push_back(score("centrality_score", 0.5f));
  columns.recency_scores.push_back(score("recency_score", 0.5f));
  columns.auxiliary_scores.push_back(score("auxiliary_score", 0.0f));

  Role role = Role::Unknown;
  if (const py::object text = lookup(chunk, "rhetorical_role")) role = role_from_lowercase_text(lower_text(text));
  columns.roles.push_back(role);

  const py::object cluster = lookup(chunk, "cluster_id");
  const std::int32_t cluster_id = cluster ? to_i32(cluster) : kNoCluster;
  columns.cluster_ids.push_back(cluster_id < 0 ? kNoCluster : cluster_id);
}

ProblemInstance assemble_instance(ChunkColumns&& columns, std::vector<float>&& query) {
  ProblemInstance instance;
  const std::size_t n = columns.token_costs.size();
  const std::size_t d = columns.embedding_dim;
  const std::span<const float> rows(columns.embeddings);
  const float query_squared_norm = squared_norm(query);
  instance.relevance_scores.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    instance.relevance_scores[i] = cosine_relevance(rows.subspan(i * d, d), query, query_squared_norm);
  }
  instance.embeddings = std::move(columns.embeddings);
  instance.query_embedding = std::move(query);
  instance.density_scores = std::move(columns.density_scores);
  instance.centrality_scores = std::move(columns.centrality_scores);
  instance.recency_scores = std::move(columns.recency_scores);
  instance.auxiliary_scores = std::move(columns.auxiliary_scores);
  instance.fulfilment_scores.assign(n, 0.0f);
  instance.token_costs = std::move(columns.token_costs);
  instance.roles = std::move(columns.roles);
  instance.cluster_ids = std::move(columns.cluster_ids);
  instance.chunk_ids = std::move(columns.chunk_ids);
  instance.num_candidates = n;
  instance.embedding_dim = d;
  return instance;
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
  if (ns < 0) return 0.0;
  const double seconds = static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
  return seconds * 1000.0;
}

}  // namespace

SolveResult solve_chunks(const SolverObject& solver, const py::args& args, const py::kwargs& kwargs) {
  const std::vector<py::object> v =
      parse_arguments("solve", {{"chunks", true}, {"query_embedding", true}, {"constraints", false}}, args, kwargs);
  if (!PyList_Check(v[0].ptr())) raise_argument_error("chunks", "expected list, got '" + type_name(v[0]) + "'");
  const py::array query_array = array_argument("query_embedding", v[1], Dtype::Float32, 1);
  const ConstraintsRecord constraints = constraints_argument(v[2]);
  require_contiguous(query_array);
  std::vector<float> query = copy_contiguous<float>(query_array);

  // A conversion may run Python code that changes the list: the chunks are
  // those it held when the solve began.
  ChunkColumns columns;
  const py::tuple chunks = snapshot(v[0]);
  for (std::size_t i = 0; i < chunks.size(); ++i) read_chunk(chunks[i], i, columns);
  const quarnel::SolverConstraints core_constraints = constraints.to_core();

  // Assembly, relevance and search are timed together, outside the lock.
  SignalPoll poll;
  return run_unlocked([&] {
    const auto started = std::chrono::steady_clock::now();
    const ProblemInstance instance = assemble_instance(std::move(columns), std::move(query));
    const PreparedConstraints prepared = prepare_constraints(core_constraints, instance);
    SolveResult result = solver.solve(instance, prepared, [&poll] { poll(); });
    result.solve_time_ms = milliseconds_since(started);
    return result;
  });
}

}  // namespace quarnel::python

#include "python/arrays.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "core/role.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"

namespace quarnel::python {
namespace {

const char* dtype_name(Dtype dtype) {
  switch (dtype) {
    case Dtype::Float32: return "float32";
    case Dtype::UInt32: return "uint32";
    case Dtype::UInt8: return "uint8";
    case Dtype::Int32: return "int32";
  }
  return "?";
}

// Array of an equivalent dtype: same kind, size and byte order.
bool has_dtype(const py::object& value, Dtype dtype) {
  switch (dtype) {
    case Dtype::Float32: return py::array_t<float, 0>::check_(value);
    case Dtype::UInt32: return py::array_t<std::uint32_t, 0>::check_(value);
    case Dtype::UInt8: return py::array_t<std::uint8_t, 0>::check_(value);
    case Dtype::Int32: return py::array_t<std::int32_t, 0>::check_(value);
  }
  return false;
}

std::string describe(const py::object& value) {
  if (!py::isinstance<py::array>(value)) return "'" + type_name(value) + "' object";
  const auto array = py::reinterpret_borrow<py::array>(value);
  return "array of dtype " + message_text(array.dtype()) + " with " +
         std::to_string(array.ndim()) + " dimension(s)";
}

void require_length(const py::array& array, std::size_t n, const char* name) {
  if (element_count(array) != n) raise_value_error(std::string(name) + " length must match number of candidates");
}

}  // namespace

py::array array_argument(const char* name, const py::object& value, Dtype dtype, int ndim) {
  if (!value || !has_dtype(value, dtype) || py::reinterpret_borrow<py::array>(value).ndim() != ndim) {
    raise_argument_error(name, std::string("expected a numpy array of dtype ") + dtype_name(dtype) + " with " +
                                   std::to_string(ndim) + " dimension(s), got " +
                                   (value ? describe(value) : std::string("nothing")));
  }
  return py::reinterpret_borrow<py::array>(value);
}

std::optional<py::array> optional_array_argument(const char* name, const py::object& value, Dtype dtype, int ndim) {
  if (is_absent(value)) return std::nullopt;
  return array_argument(name, value, dtype, ndim);
}

void require_contiguous(const py::array& array) {
  if ((array.flags() & (py::array::c_style | py::array::f_style)) == 0) {
    raise_type_error("The given array is not contiguous");
  }
}

std::size_t element_count(const py::array& array) { return static_cast<std::size_t>(array.size()); }

template <typename T>
std::vector<T> copy_contiguous(const py::array& array) {
  const std::size_t count = element_count(array);
  const auto* data = static_cast<const char*>(array.data());
  // Copied straight into the new storage, without zeroing it first (a matrix
  // may be a hundred megabytes); an array at an odd address is copied bytewise.
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0) {
    const T* first = reinterpret_cast<const T*>(data);
    return std::vector<T>(first, first + count);
  }
  std::vector<T> out(count);
  if (count != 0) std::memcpy(out.data(), data, count * sizeof(T));
  return out;
}

template std::vector<float> copy_contiguous<float>(const py::array&);
template std::vector<std::uint32_t> copy_contiguous<std::uint32_t>(const py::array&);
template std::vector<std::uint8_t> copy_contiguous<std::uint8_t>(const py::array&);
template std::vector<std::int32_t> copy_contiguous<std::int32_t>(const py::array&);

std::vector<float> copy_matrix_row_major(const py::array& matrix) {
  const auto rows = static_cast<std::size_t>(matrix.shape(0));
  const auto cols = static_cast<std::size_t>(matrix.shape(1));
  const py::ssize_t row_stride = matrix.strides(0);
  const py::ssize_t col_stride = matrix.strides(1);
  const auto* base = static_cast<const char*>(matrix.data());
  std::vector<float> out(rows * cols);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      const char* element = base + static_cast<py::ssize_t>(r) * row_stride + static_cast<py::ssize_t>(c) * col_stride;
      std::memcpy(&out[r * cols + c], element, sizeof(float));  // the array need not be aligned
    }
  }
  return out;
}

std::vector<float> copy_rows(const py::array& matrix) {
  if ((matrix.flags() & py::array::c_style) != 0) return copy_contiguous<float>(matrix);
  return copy_matrix_row_major(matrix);
}

void require_one_row_per_candidate(const py::array& embeddings, std::size_t n) {
  if (n > 0 && static_cast<std::size_t>(embeddings.shape(0)) != n)
    raise_value_error("embeddings must have one row per candidate");
}

CandidateArrays CandidateArrays::from_arguments(const std::vector<py::object>& values, std::size_t first) {
  CandidateArrays c;
  c.token_costs = array_argument("token_costs", values.at(first), Dtype::UInt32, 1);
  c.density_scores = array_argument("density_scores", values.at(first + 1), Dtype::Float32, 1);
  c.centrality_scores = array_argument("centrality_scores", values.at(first + 2), Dtype::Float32, 1);
  c.recency_scores = array_argument("recency_scores", values.at(first + 3), Dtype::Float32, 1);
  c.auxiliary_scores = array_argument("auxiliary_scores", values.at(first + 4), Dtype::Float32, 1);
  c.roles = array_argument("roles", values.at(first + 5), Dtype::UInt8, 1);
  c.cluster_ids = array_argument("cluster_ids", values.at(first + 6), Dtype::Int32, 1);
  return c;
}

void CandidateArrays::require_candidate_lengths(std::size_t n) const {
  require_length(density_scores, n, "density_scores");
  require_length(centrality_scores, n, "centrality_scores");
  require_length(recency_scores, n, "recency_scores");
  require_length(auxiliary_scores, n, "auxiliary_scores");
  require_length(roles, n, "roles");
  require_length(cluster_ids, n, "cluster_ids");
}

void CandidateArrays::copy_into(ProblemInstance& instance) const {
  instance.token_costs = copy_contiguous<std::uint32_t>(token_costs);
  instance.density_scores = copy_contiguous<float>(density_scores);
  instance.centrality_scores = copy_contiguous<float>(centrality_scores);
  instance.recency_scores = copy_contiguous<float>(recency_scores);
  instance.auxiliary_scores = copy_contiguous<float>(auxiliary_scores);

  const std::vector<std::uint8_t> role_bytes = copy_contiguous<std::uint8_t>(roles);
  instance.roles.resize(role_bytes.size());
  for (std::size_t i = 0; i < role_bytes.size(); ++i) instance.roles[i] = role_from_byte(role_bytes[i]);

  instance.cluster_ids = copy_contiguous<std::int32_t>(cluster_ids);
  for (std::int32_t& id : instance.cluster_ids)
    if (id < 0) id = kNoCluster;

  const std::size_t n = instance.token_costs.size();
  instance.chunk_ids.resize(n);
  for (std::size_t i = 0; i < n; ++i) instance.chunk_ids[i] = "chunk_" + std::to_string(i);
}

}  // namespace quarnel::python

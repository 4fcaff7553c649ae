#pragma once
// NumPy array arguments: the dtype and dimension checks (no casting), the
// contiguity demand, and the copies into solver-owned vectors.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/problem.hpp"

namespace quarnel::python {

namespace py = pybind11;

enum class Dtype { Float32, UInt32, UInt8, Int32 };

// A NumPy array whose dtype is equivalent to `dtype` (native byte order, no
// conversion) with exactly `ndim` dimensions; otherwise TypeError naming the argument.
py::array array_argument(const char* name, const py::object& value, Dtype dtype, int ndim);

// As array_argument, with an omitted argument or None giving nothing.
std::optional<py::array> optional_array_argument(const char* name, const py::object& value, Dtype dtype, int ndim);

// TypeError "The given array is not contiguous" unless C- or Fortran-contiguous.
void require_contiguous(const py::array& array);

std::size_t element_count(const py::array& array);

// The elements of a contiguous array in memory order.
template <typename T>
std::vector<T> copy_contiguous(const py::array& array);

// The elements of a 2-D float32 array in logical row-major order, whatever its strides.
std::vector<float> copy_matrix_row_major(const py::array& matrix);

// A 2-D float32 array by logical rows: a block copy in C order, and the rows
// gathered element by element for any other layout.
std::vector<float> copy_rows(const py::array& matrix);

// ValueError "embeddings must have one row per candidate" when there are
// candidates and the embeddings have another number of rows.
void require_one_row_per_candidate(const py::array& embeddings, std::size_t n);

// The per-candidate arrays both NumPy solve paths take.
struct CandidateArrays {
  // Converts the seven arguments that stand in signature order from `first`:
  // token_costs, the four scores, roles, cluster_ids.
  static CandidateArrays from_arguments(const std::vector<py::object>& values, std::size_t first);

  py::array token_costs;
  py::array density_scores;
  py::array centrality_scores;
  py::array recency_scores;
  py::array auxiliary_scores;
  py::array roles;
  py::array cluster_ids;

  // ValueError "<name> length must match number of candidates" for the first
  // score, role or cluster array that does not hold n entries, so that the
  // solver never reads past a short array.
  void require_candidate_lengths(std::size_t n) const;

  // Copies scores, token costs, roles (bytes 0-7, else Unknown), cluster ids
  // (negative: none) and the ids chunk_0 .. chunk_<n-1> into the instance.
  void copy_into(ProblemInstance& instance) const;
};

}  // namespace quarnel::python

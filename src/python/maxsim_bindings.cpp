#include "python/maxsim_bindings.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "maxsim/maxsim_f32.hpp"
#include "maxsim/maxsim_quantized.hpp"
#include "maxsim/quantized_tokens.hpp"
#include "maxsim/quantizer_params.hpp"
#include "maxsim/token_tensor.hpp"
#include "python/args.hpp"

namespace quarnel::python {
namespace {

std::string type_name(const py::handle& value) { return py::str(py::type::handle_of(value).attr("__name__")); }

// A numpy array of exactly dtype T (native byte order, no casting) with three
// dimensions; anything else is a TypeError naming the argument.
template <typename T>
py::array array_argument(const py::object& value, const char* name, const char* dtype_name) {
  if (!py::isinstance<py::array>(value)) {
    raise_argument_error(name, "expected a numpy.ndarray, got " + type_name(value));
  }
  auto array = py::reinterpret_borrow<py::array>(value);
  if (!py::array_t<T>::check_(array)) {
    raise_argument_error(name, std::string("expected an array of dtype ") + dtype_name + ", got " +
                                   std::string(py::str(array.dtype())));
  }
  if (array.ndim() != 3) {
    raise_argument_error(name, "expected an array with 3 dimensions, got " + std::to_string(array.ndim()));
  }
  return array;
}

// A Python int (or any object with __index__) in the unsigned 64-bit range.
std::uint64_t u64_argument(const py::object& value, const char* name) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (!index) {
    PyErr_Clear();
    raise_argument_error(name, "expected an int, got " + type_name(value));
  }
  const auto owned = py::reinterpret_steal<py::object>(index);
  const unsigned long long result = PyLong_AsUnsignedLongLong(owned.ptr());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    raise_argument_error(name, "expected an int between 0 and 18446744073709551615, got " +
                                   std::string(py::str(owned)));
  }
  return result;
}

// A view of the array's buffer in place. Strides become element counts; a
// byte stride or base address that is not a whole number of elements cannot
// be read as T and is refused rather than read misaligned.
template <typename T>
TokenTensor<T> tensor_view(const py::array& array, const char* name) {
  std::ptrdiff_t strides[3] = {0, 0, 0};
  for (py::ssize_t axis = 0; axis < 3; ++axis) {
    const py::ssize_t bytes = array.strides(axis);
    if (array.shape(axis) > 1) {
      if (bytes % static_cast<py::ssize_t>(sizeof(T)) != 0) {
        throw_internal(std::string(name) + ": stride of " + std::to_string(bytes) + " bytes on axis " +
                       std::to_string(axis) + " is not a whole number of elements");
      }
      strides[axis] = bytes / static_cast<py::ssize_t>(sizeof(T));
    }
  }
  if (array.size() != 0 && reinterpret_cast<std::uintptr_t>(array.data()) % alignof(T) != 0) {
    throw_internal(std::string(name) + ": the array data is not aligned to its element size");
  }
  TokenTensor<T> view;
  view.data = static_cast<const T*>(array.data());
  view.items = static_cast<std::size_t>(array.shape(0));
  view.tokens = static_cast<std::size_t>(array.shape(1));
  view.width = static_cast<std::size_t>(array.shape(2));
  view.item_stride = strides[0];
  view.token_stride = strides[1];
  view.value_stride = strides[2];
  return view;
}

// The (rows x columns) float32 result, C-contiguous, filled from scores.
py::array_t<float> score_matrix(const std::vector<float>& scores, std::size_t rows, std::size_t columns) {
  py::array_t<float> result({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)});
  if (!scores.empty()) std::memcpy(result.mutable_data(), scores.data(), scores.size() * sizeof(float));
  return result;
}

// Both functions keep the interpreter lock: the caller's arrays are read in
// place and must not change or be released while the workers read them.
py::object compute_max_sim_batch(const py::args& args, const py::kwargs& kwargs) {
  const auto values = parse_arguments("compute_max_sim_batch",
                                      {{"q_codes", true},
                                       {"q_meta", true},
                                       {"d_codes", true},
                                       {"d_meta", true},
                                       {"num_bits", true},
                                       {"dim", true}},
                                      args, kwargs);
  const py::array q_codes = array_argument<std::uint8_t>(values[0], "q_codes", "uint8");
  const py::array q_meta = array_argument<float>(values[1], "q_meta", "float32");
  const py::array d_codes = array_argument<std::uint8_t>(values[2], "d_codes", "uint8");
  const py::array d_meta = array_argument<float>(values[3], "d_meta", "float32");
  const std::uint64_t num_bits = u64_argument(values[4], "num_bits");
  const std::uint64_t dim = u64_argument(values[5], "dim");

  const QuantizerParams params = make_quantizer_params(num_bits, dim);
  const QuantizedTokenLists queries =
      make_token_lists(tensor_view<std::uint8_t>(q_codes, "q_codes"), tensor_view<float>(q_meta, "q_meta"));
  const QuantizedTokenLists documents =
      make_token_lists(tensor_view<std::uint8_t>(d_codes, "d_codes"), tensor_view<float>(d_meta, "d_meta"));
  const std::vector<float> scores = max_sim_quantized(queries, documents, params);
  return score_matrix(scores, queries.items(), documents.items());
}

py::object compute_max_sim_batch_f32(const py::args& args, const py::kwargs& kwargs) {
  const auto values =
      parse_arguments("compute_max_sim_batch_f32", {{"q_vecs", true}, {"d_vecs", true}}, args, kwargs);
  const py::array q_vecs = array_argument<float>(values[0], "q_vecs", "float32");
  const py::array d_vecs = array_argument<float>(values[1], "d_vecs", "float32");
  if (q_vecs.shape(2) != d_vecs.shape(2)) throw py::value_error("Dimension mismatch");

  const TokenTensor<float> queries = tensor_view<float>(q_vecs, "q_vecs");
  const TokenTensor<float> documents = tensor_view<float>(d_vecs, "d_vecs");
  const std::vector<float> scores = max_sim_f32(queries, documents);
  return score_matrix(scores, queries.items, documents.items);
}

}  // namespace

void register_maxsim_functions(py::module_& m) {
  py::options options;
  options.disable_function_signatures();
  m.def("compute_max_sim_batch", &compute_max_sim_batch,
        "compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, dim)\n--\n\n"
        "MaxSim scores of quantised query tokens against quantised document tokens, as a (Q, N) float32 "
        "array");
  m.def("compute_max_sim_batch_f32", &compute_max_sim_batch_f32,
        "compute_max_sim_batch_f32(q_vecs, d_vecs)\n--\n\n"
        "MaxSim scores of float32 query token vectors against document token vectors, as a (Q, N) float32 "
        "array");
}

}  // namespace quarnel::python

#include "python/maxsim_bindings.hpp"

#include <pybind11/numpy.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "maxsim/maxsim_f32.hpp"
#include "maxsim/maxsim_quantized.hpp"
#include "maxsim/quantizer_params.hpp"
#include "maxsim/token_tensor.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"

namespace quarnel::python {
namespace {

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
                                   message_text(array.dtype()));
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
                                   message_text(owned));
  }
  return result;
}

// A view of the array's buffer in place, strides in bytes. Any base address
// and stride is accepted: kernels read caller memory with unaligned loads.
template <typename T>
TokenTensor<T> tensor_view(const py::array& array) {
  TokenTensor<T> view;
  view.data = static_cast<const unsigned char*>(array.data());
  view.items = static_cast<std::size_t>(array.shape(0));
  view.tokens = static_cast<std::size_t>(array.shape(1));
  view.width = static_cast<std::size_t>(array.shape(2));
  view.item_stride = array.strides(0);
  view.token_stride = array.strides(1);
  view.value_stride = array.strides(2);
  return view;
}

// The (rows x columns) float32 result, C-contiguous, allocated before any
// scoring so that a result too large to hold fails at once.
py::array_t<float> score_matrix(std::size_t rows, std::size_t columns) {
  std::size_t cells = 0;
  if (__builtin_mul_overflow(rows, columns, &cells) || cells > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(float)) {
    PyErr_Format(PyExc_MemoryError, "a (%zu, %zu) float32 score matrix is too large to allocate", rows, columns);
    throw py::error_already_set();
  }
  return py::array_t<float>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)});
}

// Between slabs of work: Python's pending signal handlers, so that Ctrl-C
// stops a long call. A handler's exception ends the call.
void run_signal_handlers() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
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
  const auto arrays = [&values] {
    return std::array<py::array, 4>{array_argument<std::uint8_t>(values[0], "q_codes", "uint8"),
                                    array_argument<float>(values[1], "q_meta", "float32"),
                                    array_argument<std::uint8_t>(values[2], "d_codes", "uint8"),
                                    array_argument<float>(values[3], "d_meta", "float32")};
  };
  arrays();  // the arrays' errors come first
  const std::uint64_t num_bits = u64_argument(values[4], "num_bits");
  const std::uint64_t dim = u64_argument(values[5], "dim");
  // Checked again: an __index__ above may have run Python code that resized one.
  const auto [q_codes, q_meta, d_codes, d_meta] = arrays();

  const QuantizerParams params = make_quantizer_params(num_bits, dim);
  py::array_t<float> result = score_matrix(q_codes.shape(0), d_codes.shape(0));
  max_sim_quantized(tensor_view<std::uint8_t>(q_codes), tensor_view<float>(q_meta), tensor_view<std::uint8_t>(d_codes),
                    tensor_view<float>(d_meta), params, result.mutable_data(), active_simd_path(), run_signal_handlers);
  return result;
}

py::object compute_max_sim_batch_f32(const py::args& args, const py::kwargs& kwargs) {
  const auto values =
      parse_arguments("compute_max_sim_batch_f32", {{"q_vecs", true}, {"d_vecs", true}}, args, kwargs);
  const py::array q_vecs = array_argument<float>(values[0], "q_vecs", "float32");
  const py::array d_vecs = array_argument<float>(values[1], "d_vecs", "float32");
  if (q_vecs.shape(2) != d_vecs.shape(2)) throw py::value_error("Dimension mismatch");

  py::array_t<float> result = score_matrix(q_vecs.shape(0), d_vecs.shape(0));
  max_sim_f32(tensor_view<float>(q_vecs), tensor_view<float>(d_vecs), result.mutable_data(), active_simd_path(),
              run_signal_handlers);
  return result;
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

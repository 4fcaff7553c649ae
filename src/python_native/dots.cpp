#include "python_native/dots.hpp"

#include <pybind11/numpy.h>

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "backend/kernels.hpp"
#include "backend/thread_pool.hpp"
#include "python/unlocked.hpp"

namespace py = pybind11;

namespace quarnel::native {
namespace {

using Floats = py::array_t<float, py::array::c_style | py::array::forcecast>;

Floats matrix_argument(const py::object& value, const char* name) {
  Floats array = Floats::ensure(value);
  if (!array || array.ndim() != 2) throw py::value_error(std::string(name) + " must be a 2-D float32 array");
  return array;
}

// The (n, n) matrix of the rows' dot products, each pair computed once.
py::array gram(const py::object& rows) {
  const Floats a = matrix_argument(rows, "rows");
  const auto n = static_cast<std::size_t>(a.shape(0)), dim = static_cast<std::size_t>(a.shape(1));
  py::array_t<float> result({a.shape(0), a.shape(0)});
  if (n == 0) return result;
  if (dim == 0) {
    std::fill_n(result.mutable_data(), n * n, 0.0f);
    return result;
  }
  const std::vector<float> copy(a.data(), a.data() + n * dim);
  float* out = result.mutable_data();
  python::run_unlocked([&] {
    const UninitializedVector<float> m = gram_matrix(copy, n, dim);
    std::memcpy(out, m.data(), n * n * sizeof(float));
    return true;
  });
  return result;
}

// The sum of the squares of x / scale in double precision: four running
// sums (of the entries k with k % 4 == 0, 1, 2, 3, each in order), then
// (s0 + s1) + (s2 + s3). A fixed order, so the same bits everywhere, and four
// independent chains instead of one. A scale of 1 skips the (exact) division.
template <typename T>
double sum_of_squares(const T* x, std::size_t dim, double scale) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  const auto add = [&](std::size_t lane, std::size_t k) {
    const double y = scale == 1.0 ? static_cast<double>(x[k]) : static_cast<double>(x[k]) / scale;
    s[lane] += y * y;
  };
  std::size_t k = 0;
  for (; k + 4 <= dim; k += 4)
    for (std::size_t lane = 0; lane < 4; ++lane) add(lane, k + lane);
  for (std::size_t lane = 0; k < dim; ++k, ++lane) add(lane, k);
  return (s[0] + s[1]) + (s[2] + s[3]);
}

// Row x scaled to length 1 in double precision and rounded to float once. A
// row whose norm is not a normal double (all zeros, or values so small or
// large that their squares leave the range) is divided by its largest
// magnitude first. An all-zero row stays zero.
template <typename T>
void unit_row(const T* x, std::size_t dim, float* out) {
  double norm = std::sqrt(sum_of_squares(x, dim, 1.0)), peak = 1.0;  // x / 1.0 is exact
  if (!(norm > 1e-150) || !std::isfinite(norm)) {
    peak = 0.0;
    for (std::size_t k = 0; k < dim; ++k) peak = std::max(peak, std::fabs(static_cast<double>(x[k])));
    if (peak == 0.0) peak = 1.0;
    norm = std::sqrt(sum_of_squares(x, dim, peak));
    if (norm == 0.0) norm = 1.0;
  }
  if (peak == 1.0) {
    for (std::size_t k = 0; k < dim; ++k) out[k] = static_cast<float>(static_cast<double>(x[k]) / norm);
  } else {
    for (std::size_t k = 0; k < dim; ++k) out[k] = static_cast<float>(static_cast<double>(x[k]) / peak / norm);
  }
}

// Sums of x * y and of x * x in double precision, after dividing x by
// x_scale, in the order of sum_of_squares.
template <typename T>
std::pair<double, double> cross_and_square_sums(const T* x, const double* y, std::size_t dim, double x_scale) {
  double xy[4] = {0.0, 0.0, 0.0, 0.0}, xx[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t k = 0;
  const auto add = [&](std::size_t lane, std::size_t at) {
    const double a = x_scale == 1.0 ? static_cast<double>(x[at]) : static_cast<double>(x[at]) / x_scale;
    xy[lane] += a * y[at];
    xx[lane] += a * a;
  };
  if constexpr (std::is_same_v<T, float>) {
    // The same lanes two at a time in SSE2 registers: the same operations,
    // so the same bits, at half the instructions (the common case: float32
    // rows of ordinary scale).
    if (x_scale == 1.0) {
      __m128d xy01 = _mm_setzero_pd(), xy23 = _mm_setzero_pd(), xx01 = _mm_setzero_pd(), xx23 = _mm_setzero_pd();
      for (; k + 4 <= dim; k += 4) {
        const __m128 v = _mm_loadu_ps(x + k);
        const __m128d lo = _mm_cvtps_pd(v), hi = _mm_cvtps_pd(_mm_movehl_ps(v, v));
        xy01 = _mm_add_pd(xy01, _mm_mul_pd(lo, _mm_loadu_pd(y + k)));
        xy23 = _mm_add_pd(xy23, _mm_mul_pd(hi, _mm_loadu_pd(y + k + 2)));
        xx01 = _mm_add_pd(xx01, _mm_mul_pd(lo, lo));
        xx23 = _mm_add_pd(xx23, _mm_mul_pd(hi, hi));
      }
      _mm_storeu_pd(xy, xy01);
      _mm_storeu_pd(xy + 2, xy23);
      _mm_storeu_pd(xx, xx01);
      _mm_storeu_pd(xx + 2, xx23);
    }
  }
  for (; k + 4 <= dim; k += 4)
    for (std::size_t lane = 0; lane < 4; ++lane) add(lane, k + lane);
  for (std::size_t lane = 0; k < dim; ++k, ++lane) add(lane, k);
  return {(xy[0] + xy[1]) + (xy[2] + xy[3]), (xx[0] + xx[1]) + (xx[2] + xx[3])};
}

// The cosine of each row with the vector, in double precision and rounded
// to float once: (x . v) / (|x| |v|), with x and v first divided by their
// largest magnitude where a plain norm is not a normal double (see unit_row);
// 0 for an all-zero row or vector. One pass over each row.
template <typename T>
py::array cosines_of(const py::array_t<T, py::array::c_style | py::array::forcecast>& a, const double* v) {
  const auto n = static_cast<std::size_t>(a.shape(0)), dim = static_cast<std::size_t>(a.shape(1));
  double v_scale = 1.0, v_norm = std::sqrt(sum_of_squares(v, dim, 1.0));
  if (!(v_norm > 1e-150) || !std::isfinite(v_norm)) {
    v_scale = 0.0;
    for (std::size_t k = 0; k < dim; ++k) v_scale = std::max(v_scale, std::fabs(v[k]));
    if (v_scale == 0.0) v_scale = 1.0;
    v_norm = std::sqrt(sum_of_squares(v, dim, v_scale));
  }
  std::vector<double> unit_v(dim);
  for (std::size_t k = 0; k < dim; ++k) unit_v[k] = v_norm == 0.0 ? 0.0 : v[k] / v_scale / v_norm;
  py::array_t<float> result(a.shape(0));
  const T* x = a.data();
  float* out = result.mutable_data();
  const std::size_t grain = std::max<std::size_t>(1, (std::size_t{1} << 16) / std::max<std::size_t>(dim, 1));
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) {
      const T* row = x + r * dim;
      auto [xy, xx] = cross_and_square_sums(row, unit_v.data(), dim, 1.0);
      if (!(std::sqrt(xx) > 1e-150) || !std::isfinite(xx)) {
        double peak = 0.0;
        for (std::size_t k = 0; k < dim; ++k) peak = std::max(peak, std::fabs(static_cast<double>(row[k])));
        std::tie(xy, xx) = cross_and_square_sums(row, unit_v.data(), dim, peak == 0.0 ? 1.0 : peak);
      }
      out[r] = xx == 0.0 ? 0.0f : static_cast<float>(xy / std::sqrt(xx));
    }
  }, grain);
  return result;
}

// cosines_of for float32 or float64 rows.
py::array cosines(const py::array& rows, const py::object& vector) {
  if (rows.ndim() != 2) throw py::value_error("rows must be a 2-D array");
  const auto v = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(vector);
  if (!v || v.ndim() != 1 || v.shape(0) != rows.shape(1)) throw py::value_error("vector must be as long as a row");
  if (py::isinstance<py::array_t<float>>(rows))
    return cosines_of(py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(rows), v.data());
  return cosines_of(py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(rows), v.data());
}

template <typename T>
py::array unit_rows_of(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
  const auto n = static_cast<std::size_t>(a.shape(0)), dim = static_cast<std::size_t>(a.shape(1));
  py::array_t<float> result({a.shape(0), a.shape(1)});
  const T* x = a.data();
  float* out = result.mutable_data();
  const std::size_t grain = std::max<std::size_t>(1, (std::size_t{1} << 16) / std::max<std::size_t>(dim, 1));
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) unit_row(x + r * dim, dim, out + r * dim);
  }, grain);
  return result;
}

// Finite float32 or float64 rows, each scaled to length 1 (see unit_row).
py::array unit_rows(const py::array& rows) {
  if (rows.ndim() != 2) throw py::value_error("rows must be a 2-D array");
  if (py::isinstance<py::array_t<float>>(rows))
    return unit_rows_of(py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(rows));
  return unit_rows_of(py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(rows));
}

}  // namespace

void register_dots(py::module_& m) {
  m.def("gram", &gram, py::arg("rows"), "The (n, n) float32 matrix of dot8 products of the rows");
  m.def("unit_rows", &unit_rows, py::arg("rows"), "Each row scaled to length 1 in double precision, as float32");
  m.def("cosines", &cosines, py::arg("rows"), py::arg("vector"),
        "The cosine of each row with the vector, in double precision, as float32");
}

}  // namespace quarnel::native

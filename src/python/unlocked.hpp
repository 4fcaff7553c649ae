#pragma once
// Work run with the interpreter lock released.
//
// At interpreter exit CPython ends a daemon thread that asks for the lock
// again with pthread_exit. Unwinding through a destructor would abort the
// process, and unwinding at all would release, without the lock and while
// the interpreter is torn down, the Python objects that the callers' frames
// hold (the binding library's among them), which crashes it. So the lock is
// taken back in ordinary code, and a thread told to end waits there for the
// process to exit instead, as Python 3.14 itself makes such threads do.
#include <Python.h>
#include <cxxabi.h>
#include <unistd.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace quarnel::python {

inline void take_lock_back(PyThreadState* thread) {
  try {
    PyEval_RestoreThread(thread);
  } catch (abi::__forced_unwind&) {
    for (;;) pause();
  }
}

// Returns work()'s value, or rethrows its exception, with the lock held again.
template <typename Work>
auto run_unlocked(Work&& work) {
  using Value = std::invoke_result_t<Work&>;
  static_assert(!std::is_void_v<Value>, "the work returns a value");
  std::optional<Value> value;
  std::exception_ptr failure;
  PyThreadState* const thread = PyEval_SaveThread();
  try {
    value.emplace(work());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  take_lock_back(thread);
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

}  // namespace quarnel::python

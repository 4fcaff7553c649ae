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
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace quarnel::python {

// libstdc++ names the unwinding that pthread_exit starts; libc++ (the portable
// wheel's) does not, and there catch (...) sees it: PyEval_RestoreThread is C,
// so the only thing that can unwind out of it is that.
#if defined(__GLIBCXX__)
#define QUARNEL_CATCH_THREAD_EXIT catch (abi::__forced_unwind&)
#else
#define QUARNEL_CATCH_THREAD_EXIT catch (...)
#endif

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// Checking for finalization before asking for the lock is not enough: a
// thread already waiting for it when finalization starts is ended inside
// PyEval_RestoreThread. So the threads between the check and the lock are
// counted, and an exit function (run before finalization starts) closes the
// gate and lets every counted thread through first. Each extension module has
// a gate of its own, as it has its own copy of these functions.
struct ExitGate {
  std::atomic<bool> closed{false};
  std::atomic<long> passing{0};
};

inline ExitGate& exit_gate() {
  static ExitGate* const gate = [] {
    // A fork child has none of the parent's other threads: none is passing.
    pthread_atfork(nullptr, nullptr, [] { exit_gate().passing.store(0); });
    return new ExitGate;  // never destroyed: daemon threads read it at exit
  }();
  return *gate;
}

// Run at interpreter exit with the lock held, before finalization starts.
inline void close_exit_gate() {
  ExitGate& gate = exit_gate();
  gate.closed.store(true);
  Py_BEGIN_ALLOW_THREADS
  // Bounded, so that exit never hangs on a thread that cannot be seen.
  for (int waited = 0; gate.passing.load() != 0 && waited < 50000; ++waited) usleep(100);
  Py_END_ALLOW_THREADS
}

inline void take_lock_back(PyThreadState* thread) {
  // A thread that would be told to end waits here without unwinding at all:
  // with libc++ the unwinding pthread_exit starts goes through glibc's
  // unwinder, which cannot run libc++'s handlers safely.
  ExitGate& gate = exit_gate();
  gate.passing.fetch_add(1);
  if (gate.closed.load() || interpreter_finalizing()) {
    gate.passing.fetch_sub(1);
    for (;;) pause();
  }
  try {
    PyEval_RestoreThread(thread);
  } QUARNEL_CATCH_THREAD_EXIT {
    for (;;) pause();
  }
  gate.passing.fetch_sub(1);
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
  }
#if defined(__GLIBCXX__)
  // The core never ends its thread, but an unwinding that does must go on.
  catch (abi::__forced_unwind&) {
    throw;
  }
#endif
  catch (...) {
    failure = std::current_exception();
  }
  take_lock_back(thread);
  if (failure) std::rethrow_exception(failure);
  return std::move(*value);
}

}  // namespace quarnel::python

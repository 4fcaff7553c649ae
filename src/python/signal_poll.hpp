#pragma once
// Signals that arrive while a solve or a MaxSim call runs without the
// interpreter lock. Python runs signal handlers only on the main thread, so
// there the poll briefly takes the lock every few milliseconds and runs them;
// a handler's exception (KeyboardInterrupt for Ctrl-C) ends the work and is
// raised by the call. On any other thread the poll does nothing. Header-only:
// both extension modules use it.
#include <pybind11/pybind11.h>

#include <chrono>

namespace quarnel::python {

class SignalPoll {
 public:
  // Often enough for Ctrl-C to feel immediate; a poll costs well under a
  // microsecond while no other thread holds the lock.
  static constexpr std::chrono::milliseconds kInterval{5};

  // Made with the lock held, on the thread that will run the work.
  SignalPoll() : main_thread_(on_main_thread()), next_(std::chrono::steady_clock::now() + kInterval) {}

  // Called without the lock on that thread; throws py::error_already_set
  // when a signal handler raised.
  void operator()() {
    if (!main_thread_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + kInterval;
    const PyGILState_STATE lock = PyGILState_Ensure();
    if (PyErr_CheckSignals() == 0) {
      PyGILState_Release(lock);
      return;
    }
    pybind11::error_already_set raised;  // takes the error while the lock is held
    PyGILState_Release(lock);
    throw raised;
  }

 private:
  static bool on_main_thread() {
    const pybind11::object main = pybind11::module_::import("threading").attr("main_thread")();
    return pybind11::cast<unsigned long>(main.attr("ident")) == PyThread_get_thread_ident();
  }

  bool main_thread_ = false;
  std::chrono::steady_clock::time_point next_;
};

}  // namespace quarnel::python

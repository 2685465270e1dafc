// The few things an export asks of the server's event loop: timed waits, work
// run off the loop, and a callback when a future is done. Every callback runs
// on the loop thread with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace vexlo::export_gate {

namespace py = pybind11;

class EventLoop {
 public:
  // The loop of the calling thread (tornado's IOLoop.current()).
  static EventLoop current();

  // A future of this loop for the caller to complete; tornado awaits it.
  py::object new_future() const;

  // Returns the timeout's handle, for cancel_timeout().
  py::object call_later(double seconds, std::function<void()> callback) const;
  void cancel_timeout(const py::object& handle) const;

  // Runs `job` on the loop's executor (a worker thread that takes the GIL to
  // touch Python objects); `done` then gets the job's future on the loop.
  void run_off_loop(std::function<py::object()> job, std::function<void(py::object)> done) const;

  // `done(future)` on the loop once `future` has completed.
  void when_done(const py::object& future, std::function<void(py::object)> done) const;

  // `done(future)` once `awaitable` (a future or a coroutine) has completed;
  // `done(None)` at once if it is None, as a plain method returns.
  void when_awaitable_done(const py::object& awaitable, std::function<void(py::object)> done) const;

  // Runs `job`, which must not touch Python, on the loop's executor without
  // the GIL, then `done` on the loop. With no executor left (the server is
  // going down) both run here at once.
  void clean_up_off_loop(std::function<void()> job, std::function<void()> done) const;

 private:
  explicit EventLoop(py::object io_loop) : io_loop_(std::move(io_loop)) {}
  py::object io_loop_;
};

// Completes `future` unless it is already done (a client that left may have
// cancelled it meanwhile).
void resolve(const py::object& future, const py::object& result = py::none());
void reject(const py::object& future, const py::object& error);

}  // namespace vexlo::export_gate

// The skeleton of work the server's event loop drives in steps (an export, a
// download). Each step runs as a loop callback, names the step that continues
// and hands the loop back while it waits: after a pause, for a future, or for
// a job on the loop's executor. The task's future, done(), completes when it
// finishes or fails; until then the loop's pending callbacks keep it alive.
//
// Every step runs under one guard, since an error must not escape a loop
// callback (the loop would only log it). The first ordinary error takes the
// task's failure path; an error on that path, or one that is not ordinary
// (KeyboardInterrupt, SystemExit), fails the task with that error.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "event_loop.hpp"
#include "vexlo/server/host/errors.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

template <typename Task>
class LoopTask : public std::enable_shared_from_this<Task> {
 public:
  virtual ~LoopTask() = default;

  const py::object& done() const { return done_; }

 protected:
  using Step = void (Task::*)();
  using FutureStep = void (Task::*)(py::object);
  using Job = py::object (Task::*)();

  LoopTask() : loop_(EventLoop::current()), done_(loop_.new_future()) {}

  // Where the first ordinary error of a step goes; runs as a step itself.
  virtual void take_failure_path(const py::object& error) = 0;
  // Runs once the task has finished or failed: releases what it holds.
  virtual void ended() {}

  const EventLoop& loop() const { return loop_; }

  // Runs `body` now, as a step.
  template <typename Body>
  void step(Body&& body) {
    try {
      body();
    } catch (py::error_already_set& e) {
      step_failed(e.value());
    } catch (const std::exception& e) {
      step_failed(host::runtime_error(e.what()));
    }
  }

  // `next` after `seconds`; returns the timeout's handle, for cancel_timeout().
  py::object continue_after(double seconds, Step next) {
    auto self = this->shared_from_this();
    return loop_.call_later(seconds, [self, next] { as_base(*self).step([&] { ((*self).*next)(); }); });
  }

  // `next(future)` once `awaitable` has completed; `next(None)` at once if it
  // is None (see EventLoop::when_awaitable_done).
  void continue_when_done(const py::object& awaitable, FutureStep next) {
    auto self = this->shared_from_this();
    loop_.when_awaitable_done(awaitable, [self, next](py::object future) {
      as_base(*self).step([&] { ((*self).*next)(future); });
    });
  }

  // `job` on the loop's executor (it may take long), then `next(its future)`.
  void continue_off_loop(Job job, FutureStep next) {
    auto self = this->shared_from_this();
    loop_.run_off_loop(
        [self, job] { return ((*self).*job)(); },
        [self, next](py::object future) { as_base(*self).step([&] { ((*self).*next)(future); }); });
  }

  // `job`, which must not touch Python, on the loop's executor, then `next`.
  // With no executor left (the server is going down) both run here at once:
  // clean-up must happen however the server ends.
  void clean_up_then(std::function<void()> job, Step next) {
    auto self = this->shared_from_this();
    loop_.clean_up_off_loop(std::move(job),
                            [self, next] { as_base(*self).step([&] { ((*self).*next)(); }); });
  }

  // The task's two ends: done() completes (unless a client that left has
  // cancelled it meanwhile), then ended() runs.
  void finish(const py::object& result = py::none()) {
    resolve(done_, result);
    ended();
  }
  void fail(const py::object& error) {
    try {
      reject(done_, error);
    } catch (py::error_already_set&) {
    }
    ended();
  }

 private:
  static LoopTask& as_base(Task& task) { return task; }

  void step_failed(const py::object& error) {
    if (failing_ || !host::is_ordinary(error))
      return fail(error);
    failing_ = true;
    step([&] { take_failure_path(error); });
  }

  EventLoop loop_;
  py::object done_;
  bool failing_ = false;  // on the failure path: its own errors fail the task
};

}  // namespace vexlo::export_gate

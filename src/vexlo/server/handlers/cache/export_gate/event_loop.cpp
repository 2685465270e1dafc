#include "event_loop.hpp"

#include "vexlo/server/host/arguments.hpp"

namespace vexlo::export_gate {

EventLoop EventLoop::current() {
  return EventLoop(py::module_::import("tornado.ioloop").attr("IOLoop").attr("current")());
}

py::object EventLoop::new_future() const {
  return io_loop_.attr("asyncio_loop").attr("create_future")();
}

py::object EventLoop::call_later(double seconds, std::function<void()> callback) const {
  return io_loop_.attr("call_later")(seconds, py::cpp_function(std::move(callback)));
}

void EventLoop::cancel_timeout(const py::object& handle) const {
  io_loop_.attr("remove_timeout")(handle);
}

void EventLoop::run_off_loop(std::function<py::object()> job, std::function<void(py::object)> done) const {
  const py::object future = io_loop_.attr("run_in_executor")(py::none(), py::cpp_function(std::move(job)));
  when_done(future, std::move(done));
}

void EventLoop::when_done(const py::object& future, std::function<void(py::object)> done) const {
  io_loop_.attr("add_future")(future, py::cpp_function(std::move(done)));
}

void EventLoop::when_awaitable_done(const py::object& awaitable, std::function<void(py::object)> done) const {
  if (awaitable.is_none())
    return done(py::none());
  when_done(py::module_::import("tornado.gen").attr("convert_yielded")(awaitable), std::move(done));
}

void EventLoop::clean_up_off_loop(std::function<void()> job, std::function<void()> done) const {
  auto unlocked = [job] {
    {
      py::gil_scoped_release released;
      job();
    }
    return py::object(py::none());
  };
  try {
    run_off_loop(unlocked, [done](py::object) { done(); });
  } catch (py::error_already_set&) {
    // No executor: here, at once.
    unlocked();
    done();
  }
}

void resolve(const py::object& future, const py::object& result) {
  if (!host::truth(future.attr("done")()))
    future.attr("set_result")(result);
}

void reject(const py::object& future, const py::object& error) {
  if (!host::truth(future.attr("done")()))
    future.attr("set_exception")(error);
}

}  // namespace vexlo::export_gate

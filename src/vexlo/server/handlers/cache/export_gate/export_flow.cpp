// The stages of one export, each a step on the loop (loop_task.hpp):
//
//   success path
//     start             off the loop: describe the successful and cached
//                       components, a slice of the GIL at a time
//     described         refuse, broadcasting nothing, a pipeline with no
//                       cache or with an identifier that cannot name its
//                       tree; otherwise broadcast "invalid", make the scratch
//                       directory
//     prepare           off the loop: sweep the scratch directories of dead
//                       exports, write the description file, estimate
//                       the content's size
//     prepared          start the writer, broadcast "running"
//     poll              writer running: report_progress (content read against
//                       the estimate) every kPollInterval,
//                       poll again after a short pause (at once when the
//                       client has left)
//                       writer stopped: complete_packing, which joins it,
//                       broadcasts "successful", starts the download and,
//                       off the loop, removes the scratch directory
//     removed, sent     the download has ended: finish
//
//   failure path, taken by the first ordinary error from the first broadcast on
//     take_failure_path cancel_writer_and_wait: the writer ends between blocks
//     wait_for_writer   until it has ended; then, off the loop, remove the
//                       scratch directory
//     report_failure    broadcast "failed", reply with the error's message:
//                       finish
//
//   An error before the first broadcast, on the failure path, or one that is
//   not ordinary, fails the export: get raises it. Either way ended() leaves
//   nothing behind.
#include "export_flow.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "event_loop.hpp"
#include "file_io.hpp"
#include "gil_slices.hpp"
#include "loop_task.hpp"
#include "pipeline_description.hpp"
#include "scratch_dir.hpp"
#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/errors.hpp"

namespace vexlo::export_gate {

using namespace pybind11::literals;

namespace {

// Names of the exports' scratch directories in the temporary directory.
constexpr const char* kScratchPrefix = "vexlo-cache-";

std::string temporary_directory() {
  return py::module_::import("tempfile").attr("gettempdir")().cast<std::string>();
}

constexpr double kPollInterval = 0.25;
// How often a running writer is asked whether it has finished: a fraction of
// the reporting interval, so the download starts within 20 ms of the
// archive's end instead of up to 0.25 s later (a quarter of a small export).
constexpr double kStopCheckInterval = 0.02;
// While the writer has not created the archive yet: look again almost at once,
// without spinning the loop.
constexpr double kCreationInterval = 0.001;
// While waiting for a writer that has been told to end.
constexpr double kEndingInterval = 0.01;

class Export;

// The exports in progress, and the futures waiting for there to be none.
// Never destroyed: they hold Python objects, which must not be released after
// the interpreter has gone.
std::vector<std::shared_ptr<Export>>& running() {
  static auto* exports = new std::vector<std::shared_ptr<Export>>();
  return *exports;
}
std::vector<py::object>& idle_waiters() {
  static auto* waiters = new std::vector<py::object>();
  return *waiters;
}

class Export : public LoopTask<Export> {
 public:
  Export(const host::ModuleGlobals& g, py::object handler, py::str kernel_id, py::object components,
         std::string tar_filename)
      : g_(g),
        handler_(std::move(handler)),
        kernel_id_(std::move(kernel_id)),
        components_(std::move(components)),
        tar_filename_(std::move(tar_filename)) {
    msg_["status"] = "invalid";
    msg_["progress"] = 0;
    progress_["procedure"] = "export:cache";
    progress_["msg"] = msg_;
  }

  const py::object& handler() const { return handler_; }

  void start() {
    step([&] { continue_off_loop(&Export::describe, &Export::described); });
  }

  // Whatever stage the export is in notices at its next step; while the
  // archive is packed, that step comes at once rather than after the pause.
  void client_left() {
    client_gone_ = true;
    if (!polling_.is_none()) {
      loop().cancel_timeout(polling_);
      poll_in(0);
    }
  }

 private:
  // The success path.

  // Off the loop, like everything that grows with the pipeline.
  py::object describe() {
    GilSlices slices;
    description_.emplace(g_, components_, slices);
    unfit_ = description_->unfit_identifier(slices);
    return py::none();
  }

  void described(py::object future) {
    future.attr("result")();
    if (description_->empty())
      return refuse("There is no cache to export in this pipeline. Please run at least one component.");
    if (unfit_)
      return refuse(*unfit_);
    announced_ = true;
    broadcast();
    temp_dir_.emplace(temporary_directory(), kScratchPrefix);
    continue_off_loop(&Export::prepare, &Export::prepared);
  }

  // A pipeline that cannot be exported: nothing has been made or broadcast.
  void refuse(const std::string& message) {
    handler_.attr("_finish_with_message")("status_code"_a = g_["HTTPStatus"].attr("INTERNAL_SERVER_ERROR"),
                                          "message"_a = message);
    finish();
  }

  // Off the loop: the description file and the size estimate can take long
  // for big pipelines and caches of many files.
  py::object prepare() {
    // Our own directory is locked already, so the sweep leaves it alone.
    sweep_abandoned_exports();
    GilSlices slices;
    const py::str pipeline_json = g_["PIPELINE_JSON"];
    tarfile_path_ = temp_dir_->join(archive_disk_name(tar_filename_));
    const std::string pipeline_path = temp_dir_->join(pipeline_json);
    pipeline_info_["filepath"] = pipeline_path;
    pipeline_info_["arcname"] = pipeline_json;

    py::int_ estimate_size(write_json_object(pipeline_path, description_->text(), temp_dir_->path()));

    for (const auto& member : description_->members()) {
      slices.pause_if_due();
      const py::object dirpath = host::str_or_none(member.cache_dir, "component_cache_dir");
      if (dirpath.is_none())
        continue;
      py::dict tree;
      tree["dirpath"] = dirpath;
      tree["arcname"] = tree_name(member.identifier);
      cache_info_.append(tree);
      estimate_size = py::int_(estimate_size + py::int_(g_["get_dir_size"]("path"_a = dirpath)));
    }
    return std::move(estimate_size);
  }

  void prepared(py::object future) {
    estimate_size_ = future.attr("result")().cast<double>();
    if (client_gone_)
      host::raise_connection_aborted("The client closed the connection during the export.");
    tar_thread_ = g_["CacheCompressThread"]("tarfile_path"_a = tarfile_path_,
                                            "pipeline_info"_a = pipeline_info_, "cache_info"_a = cache_info_);
    counts_read_ = py::hasattr(tar_thread_, "bytes_read");
    tar_thread_.attr("start")();
    msg_["status"] = "running";
    broadcast();
    poll_in(0);
  }

  void poll_in(double seconds) { polling_ = continue_after(seconds, &Export::poll); }

  // One look at the writer, until it says it has finished.
  void poll() {
    polling_ = py::none();
    if (client_gone_ && !cancelled_)
      cancel_writer();
    if (host::truth(tar_thread_.attr("is_stopped")()))
      return complete_packing();
    const auto now = std::chrono::steady_clock::now();
    if (!created_ || now >= next_report_) {
      created_ = report_progress();
      next_report_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(kPollInterval));
    }
    poll_in(cancelled_ ? kEndingInterval : created_ ? kStopCheckInterval : kCreationInterval);
  }

  // Broadcasts the content read so far as a share of the expected content
  // size, when it has grown; false while the writer has not created the
  // archive yet. The compressed archive's size would stay far below the
  // content's until the end, so it is the measure only for a writer that
  // keeps no count.
  bool report_progress() {
    const auto archive_size = file_size_if_exists(tarfile_path_);
    if (!archive_size)
      return false;
    const std::uintmax_t done =
        counts_read_ ? tar_thread_.attr("bytes_read")().cast<std::uintmax_t>() : *archive_size;
    if (done > reported_size_) {
      reported_size_ = done;
      const double progress = static_cast<double>(reported_size_) / estimate_size_;
      msg_["progress"] = static_cast<long long>(progress * 100.0);
      broadcast();
    }
    return true;
  }

  // The writer has stopped: a finished archive goes to the client.
  void complete_packing() {
    // Stopped, so this join returns at once.
    tar_thread_.attr("join")();
    raise_absorbed_error();

    msg_["status"] = "successful";
    msg_["progress"] = 100;
    broadcast();
    sending_ = handler_.attr("_finish_with_artifact")("artifact_name"_a = tar_filename_,
                                                      "artifact_path"_a = tarfile_path_);
    // The download holds the archive open now, so removing the directory
    // only unlinks it (the space is freed when the download closes it), and
    // no client sees its reply end while the directory still exists. Off the
    // loop: unlinking a big description file takes a while.
    auto self = shared_from_this();
    clean_up_then([self] { self->temp_dir_->remove(); }, &Export::removed);
  }

  void removed() { continue_when_done(sending_, &Export::sent); }

  void sent(py::object future) {
    if (!future.is_none())
      future.attr("result")();
    finish();
  }

  // The writer ends the same way after success and after an error; an
  // archive it could not finish must never be sent as a good one.
  void raise_absorbed_error() {
    const py::object error = tar_thread_.attr("error")();
    if (!error.is_none())
      host::raise_error(error);
  }

  // The failure path: the writer is cancelled and waited for, which takes
  // a block's time; then the scratch directory goes, the failure is
  // broadcast and the reply made.

  void take_failure_path(const py::object& error) override {
    // Before the first broadcast, as if get itself had raised.
    if (!announced_)
      return fail(error);
    failure_ = py::str(error);
    cancel_writer_and_wait();
  }

  // A writer told only to stop would pack on to the end, holding the reply
  // and the disk space for as long as that takes.
  void cancel_writer_and_wait() {
    if (tar_thread_ && !cancelled_)
      cancel_writer();
    wait_for_writer();
  }

  // join() only once the writer has ended, so the loop never waits on it.
  void wait_for_writer() {
    // A thread that failed to start cannot be joined; there is nothing to wait for.
    if (tar_thread_ && !tar_thread_.attr("ident").is_none()) {
      if (host::truth(tar_thread_.attr("is_alive")())) {
        continue_after(kEndingInterval, &Export::wait_for_writer);
        return;
      }
      tar_thread_.attr("join")();
    }
    if (!temp_dir_)
      return report_failure();
    auto self = shared_from_this();
    clean_up_then([self] { self->temp_dir_->remove(); }, &Export::report_failure);
  }

  void report_failure() {
    msg_["status"] = "failed";
    msg_["progress"] = 0;
    broadcast();
    handler_.attr("_finish_with_message")("status_code"_a = g_["HTTPStatus"].attr("INTERNAL_SERVER_ERROR"),
                                          "message"_a = failure_);
    finish();
  }

  // Shared by both paths.

  void broadcast() {
    g_["CacheExportGate"].attr("transmit")("kernel_id"_a = kernel_id_, "data"_a = progress_);
  }

  void cancel_writer() {
    cancelled_ = true;
    tar_thread_.attr("cancel")();
  }

  // Nothing of the export is left behind, however it ended; a writer still
  // running (the export failed outright) is cancelled.
  void ended() override {
    if (temp_dir_)
      temp_dir_->remove();
    try {
      if (tar_thread_ && host::truth(tar_thread_.attr("is_alive")()))
        tar_thread_.attr("cancel")();
    } catch (py::error_already_set&) {
    }
    release_off_loop();
    forget();
  }

  // What grows with the pipeline (the description, the writer's list of
  // trees) takes a while to free: off the loop, a GIL slice at a time. With
  // no executor left, the export's destructor frees it.
  void release_off_loop() {
    auto self = shared_from_this();
    try {
      loop().run_off_loop(
          [self] {
            self->release();
            return py::object(py::none());
          },
          [](py::object) {});
    } catch (py::error_already_set&) {
    }
  }

  void release() {
    GilSlices slices;
    // The thread object holds the same list: emptied, not just let go.
    constexpr Py_ssize_t kStep = 256;  // a small share of a switch interval
    for (Py_ssize_t n = PyList_GET_SIZE(cache_info_.ptr()); n > 0; n = PyList_GET_SIZE(cache_info_.ptr())) {
      if (PyList_SetSlice(cache_info_.ptr(), n > kStep ? n - kStep : 0, n, nullptr) != 0)
        throw py::error_already_set();
      slices.pause_if_due();
    }
    if (description_) {
      std::vector<std::pair<std::string, std::string>> text = description_->release_text();
      description_.reset();
      py::gil_scoped_release unlocked;
      text.clear();
    }
  }

  void forget() {
    auto& list = running();
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->get() == this) {
        list.erase(it);
        break;
      }
    }
    if (list.empty()) {
      std::vector<py::object> waiters;
      waiters.swap(idle_waiters());
      for (const auto& waiter : waiters)
        resolve(waiter);
    }
  }

  const host::ModuleGlobals g_;
  py::object handler_;
  py::str kernel_id_;
  py::object components_;  // the pipeline's, as the registry holds them
  std::string tar_filename_;

  std::optional<Description> description_;  // what "pipeline.json" describes
  std::optional<std::string> unfit_;        // why an identifier cannot name its tree
  bool announced_ = false;                  // the first broadcast has been made

  py::dict progress_;  // the broadcast message, around msg_
  py::dict msg_;       // status and progress in percent
  std::optional<ScratchDir> temp_dir_;
  std::string tarfile_path_;
  py::dict pipeline_info_;            // the description file, as the writer takes it
  py::list cache_info_;               // the cache directories, as the writer takes them
  double estimate_size_ = 0;          // bytes of content, for the progress share
  std::uintmax_t reported_size_ = 0;  // bytes behind the last progress broadcast
  py::object tar_thread_;
  py::object sending_;                                 // the download, once it has begun
  bool counts_read_ = false;                           // the writer counts the content it has read
  bool created_ = false;                               // the writer has created the archive
  std::chrono::steady_clock::time_point next_report_;  // when progress is due again

  py::object polling_ = py::none();  // the next poll's timeout, while one is due
  bool client_gone_ = false;
  bool cancelled_ = false;  // the writer has been told to end between blocks
  py::str failure_;         // the message of the failure reply
};

}  // namespace

py::object begin_export(const host::ModuleGlobals& g, const py::object& handler, const py::str& kernel_id,
                        const py::object& components, const std::string& tar_filename) {
  auto export_ = std::make_shared<Export>(g, handler, kernel_id, components, tar_filename);
  running().push_back(export_);
  export_->start();
  return export_->done();
}

void client_left(const py::object& handler) {
  for (const auto& e : running()) {
    if (e->handler().is(handler))
      e->client_left();
  }
}

void sweep_abandoned_exports() {
  sweep_abandoned(temporary_directory(), kScratchPrefix);
}

py::object end_all_exports() {
  const py::object idle = EventLoop::current().new_future();
  if (running().empty()) {
    resolve(idle);
    return idle;
  }
  idle_waiters().push_back(idle);
  const std::vector<std::shared_ptr<Export>> exports = running();
  for (const auto& e : exports) {
    e->client_left();
    // Closing the connection also ends a download in progress at its next chunk.
    const py::object connection = py::getattr(e->handler().attr("request"), "connection", py::none());
    if (!connection.is_none() && py::hasattr(connection, "close"))
      connection.attr("close")();
  }
  return idle;
}

}  // namespace vexlo::export_gate

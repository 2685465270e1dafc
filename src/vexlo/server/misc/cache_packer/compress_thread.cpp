// CacheCompressThread: writes a pipeline's description file and its
// components' cache directories into one tar.gz archive on a thread of its
// own. The archive itself is written by the native engine with the GIL
// released; this file only gathers the inputs and keeps the outcome.
#include <pybind11/pybind11.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_writer.hpp"
#include "vexlo/server/host/entry_point.hpp"
#include "vexlo/server/host/errors.hpp"
#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/native_class.hpp"

namespace py = pybind11;
namespace host = vexlo::host;
namespace archive = vexlo::archive;

namespace {

constexpr const char* kErrorDoc =
    "Return the error that ended the last run, or None.\n\n"
    "run() never raises: it finishes and sets the stop flag after a failure\n"
    "exactly as after success, leaving a truncated archive behind. This is how\n"
    "a caller tells the two apart. File system failures are OSError instances\n"
    "carrying errno and filename. None before run() has ended, and after a\n"
    "run that wrote the whole archive.";

constexpr const char* kCancelDoc =
    "End the writing early.\n\n"
    "Unlike stop(), which only sets the stop flag, this makes a run in progress\n"
    "end between blocks, within a fraction of a second, exactly as after an\n"
    "error: the stop flag is set, error() names the cancellation, and the\n"
    "unfinished archive stays on disk for the caller to remove. Called before\n"
    "start(), the run ends as soon as it begins.";

constexpr const char* kBytesReadDoc =
    "Return how many bytes of content the run has read so far.\n\n"
    "The description file's and every file's data, not the archive's headers\n"
    "or padding: against the content's size it tells how far the writing has\n"
    "come, which the archive's compressed size does not. 0 before run()\n"
    "begins; grows while it writes.";

// What a run shares with the threads that watch it, read and written without
// the GIL: the flag cancel() sets, and the count of content read. Shared, so
// a run keeps them alive whatever happens to the Python attribute meanwhile.
struct RunState {
  struct Counters {
    std::atomic<bool> cancelled{false};
    std::atomic<std::uint64_t> content_read{0};
  };
  std::shared_ptr<Counters> counters = std::make_shared<Counters>();
};

std::shared_ptr<RunState::Counters> run_state(const py::object& self) {
  return self.attr("_run_state").cast<RunState&>().counters;
}

// File system form of a path given as text, bytes or a path-like object.
std::optional<std::string> path_value(py::handle value) {
  if (value.is_none()) {
    return std::nullopt;
  }
  py::object raw = py::module_::import("os").attr("fsencode")(value);
  return raw.cast<std::string>();
}

// Member names are text; non-UTF-8 file names survive as surrogate escapes
// and go back to their raw bytes here.
std::optional<std::string> name_value(py::handle value) {
  if (value.is_none()) {
    return std::nullopt;
  }
  if (!PyUnicode_Check(value.ptr())) {
    host::raise_type_error(std::string("arcname must be str or None, not ") + Py_TYPE(value.ptr())->tp_name);
  }
  PyObject* encoded = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
  if (encoded == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::bytes>(encoded).cast<std::string>();
}

archive::Source read_source(py::handle mapping, const char* path_key) {
  py::object get = mapping.attr("get");
  py::object path = get(path_key);
  py::object arcname = get("arcname");
  return archive::Source{path_value(path), name_value(arcname)};
}

py::object os_error(const archive::ArchiveError& e) {
  // Without an errno the message alone, which names the path.
  return host::os_error(e.error_number(), e.error_number() != 0 ? e.reason() : e.what(), e.path());
}

py::object init(const py::object& thread_type, const py::object& event_type, const host::Args& a) {
  const py::object& self = a[0];
  thread_type.attr("__init__")(self);
  self.attr("_stop_event") = event_type();
  self.attr("_tarfile_path") = a[1];
  self.attr("_pipeline_info") = a[2];
  self.attr("_cache_info") = a[3];
  self.attr("_error") = py::none();
  self.attr("_run_state") = py::cast(RunState());
  return py::none();
}

// The engine's inputs, read with the GIL before it runs. A failure to read an
// entry ends the archive where the entry would have been, as if the engine had
// failed on it: the sources before it are kept, and so is the error.
struct Inputs {
  std::vector<archive::Source> sources;
  py::object error = py::none();
};

Inputs gather_inputs(const py::object& self) {
  Inputs inputs;
  try {
    inputs.sources.push_back(read_source(self.attr("_pipeline_info"), "filepath"));
    for (py::handle entry : self.attr("_cache_info")) {
      inputs.sources.push_back(read_source(entry, "dirpath"));
    }
  } catch (py::error_already_set& e) {
    inputs.error = e.value();
  }
  return inputs;
}

// Runs the engine with the GIL released; returns the error that ended it as a
// Python exception, or None.
py::object write_without_gil(const std::string& archive_path, const std::vector<archive::Source>& sources,
                             const archive::Options& options) {
  std::optional<archive::ArchiveError> engine_error;
  std::optional<std::string> other_error;
  bool out_of_memory = false;
  {
    py::gil_scoped_release release;
    try {
      archive::write_archive(archive_path, sources, options);
    } catch (const archive::ArchiveError& e) {
      engine_error.emplace(e);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    } catch (const std::exception& e) {
      other_error = e.what();
    } catch (...) {
      other_error.emplace();
    }
  }
  if (engine_error) {
    return os_error(*engine_error);
  }
  if (out_of_memory) {
    return host::os_error(ENOMEM, "Cannot allocate memory for writing the archive", archive_path);
  }
  if (other_error) {
    return host::runtime_error(other_error->empty() ? "archive writer failed" : *other_error);
  }
  return py::none();
}

// The workers an export may start: VEXLO_EXPORT_THREADS, so that an operator
// of a shared machine can hold exports to fewer CPUs than the machine has, and
// the benches can stand in for a machine with more. Unset or empty: one per
// usable CPU (0). The writer's memory budget may start fewer than asked.
constexpr const char* kThreadsVariable = "VEXLO_EXPORT_THREADS";
constexpr unsigned long kMaxThreads = 1024;

unsigned export_threads() {
  const char* value = std::getenv(kThreadsVariable);
  if (value == nullptr || *value == '\0') {
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long threads = std::strtoul(value, &end, 10);
  if (!std::isdigit(static_cast<unsigned char>(*value)) || *end != '\0' || errno != 0 || threads == 0 ||
      threads > kMaxThreads) {
    host::raise_value_error(std::string(kThreadsVariable) + " must be a whole number of threads from 1 to " +
                            std::to_string(kMaxThreads) + ", or unset for one per CPU; it is '" + value +
                            "'");
  }
  return static_cast<unsigned>(threads);
}

// One run: the inputs, then the engine. Returns the error that ended it, or
// None; raises only what fails before the engine starts.
py::object pack(const py::object& self) {
  self.attr("_stop_event").attr("clear")();
  const std::optional<std::string> archive_path = path_value(self.attr("_tarfile_path"));
  if (!archive_path) {
    host::raise_type_error("_tarfile_path is None");
  }
  const Inputs inputs = gather_inputs(self);
  // Held here, so the counters outlive the run whatever happens to the attribute.
  const std::shared_ptr<RunState::Counters> state = run_state(self);
  state->content_read = 0;
  archive::Options options;
  options.threads = export_threads();
  options.end_of_archive = inputs.error.is_none();
  options.cancel = &state->cancelled;
  options.content_read = &state->content_read;
  const py::object engine_error = write_without_gil(*archive_path, inputs.sources, options);
  return engine_error.is_none() ? inputs.error : engine_error;
}

// Never raises: whatever ended the run is kept for error(), and the stop flag
// is set after a failure exactly as after success.
py::object run(const host::Args& a) {
  const py::object& self = a[0];
  py::object error;
  try {
    error = pack(self);
  } catch (py::error_already_set& e) {
    error = e.value();
  } catch (const std::exception& e) {
    error = host::runtime_error(e.what());
  } catch (...) {
    error = host::runtime_error("archive writer failed");
  }
  self.attr("_error") = error;
  self.attr("stop")();
  return py::none();
}

}  // namespace

VEXLO_MODULE(cache_packer, m) {
  host::bind_names(m, {
                          {"threading", "Event"},
                          {"threading", "Thread"},
                          {"typing", "Dict"},
                          {"typing", "List"},
                          {"typing", "Optional"},
                      });
  m.attr("PIPELINE_JSON") = "pipeline.json";

  // Local to this module and not bound in it: only instances carry it. The
  // type is kept alive here, since no module attribute holds it.
  static auto* run_state_type = new py::object(py::class_<RunState>(m, "_RunState", py::module_local()));
  (void)run_state_type;
  py::delattr(m, "_RunState");

  py::object thread_type = m.attr("Thread");
  py::object event_type = m.attr("Event");

  using host::Check;
  using host::MethodSpec;
  host::make_class(
      m, host::ClassSpec{
             "CacheCompressThread",
             "Compress cache dir to tar.gz file.",
             py::make_tuple(thread_type),
             {
                 MethodSpec{"__init__",
                            "",
                            {{"tarfile_path", "str", Check::str},
                             {"pipeline_info", "Dict[str, str]", Check::dict},
                             {"cache_info", "List[Dict[str, str]]", Check::list}},
                            "None",
                            [thread_type, event_type](const host::Args& a) {
                              return init(thread_type, event_type, a);
                            }},
                 MethodSpec{"stop",
                            "Stop execution.",
                            {},
                            "None",
                            [](const host::Args& a) {
                              a[0].attr("_stop_event").attr("set")();
                              return py::object(py::none());
                            }},
                 MethodSpec{"is_stopped",
                            "Check if execution is stopped.",
                            {},
                            "bool",
                            [](const host::Args& a) { return a[0].attr("_stop_event").attr("is_set")(); }},
                 MethodSpec{"run", "Run thread.", {}, "None", run},
                 MethodSpec{"cancel",
                            kCancelDoc,
                            {},
                            "None",
                            [](const host::Args& a) {
                              run_state(a[0])->cancelled.store(true);
                              return py::object(py::none());
                            }},
                 MethodSpec{"bytes_read",
                            kBytesReadDoc,
                            {},
                            "int",
                            [](const host::Args& a) {
                              return py::object(py::int_(run_state(a[0])->content_read.load()));
                            }},
                 MethodSpec{"error",
                            kErrorDoc,
                            {},
                            "Optional[BaseException]",
                            [](const host::Args& a) { return py::object(a[0].attr("_error")); }},
             },
         });
}

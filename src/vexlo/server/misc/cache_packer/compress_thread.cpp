// CacheCompressThread: writes a pipeline's description file and its
// components' cache directories into one tar.gz archive on a thread of its
// own. The archive itself is written by the native engine with the GIL
// released; this file only gathers the inputs and keeps the outcome.
#include <pybind11/pybind11.h>

#include "archive_writer.hpp"
#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/module.hpp"
#include "vexlo/server/host/native_class.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// The flag cancel() sets and the engine reads without the GIL. Shared, so a
// run keeps it alive whatever happens to the Python attribute meanwhile.
struct CancelFlag {
    std::shared_ptr<std::atomic<bool>> raised = std::make_shared<std::atomic<bool>>(false);
};

CancelFlag& cancel_flag(const py::object& self) { return self.attr("_cancel_flag").cast<CancelFlag&>(); }

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
        // Raised as a Python error so run() keeps it like any other.
        PyErr_Format(PyExc_TypeError, "arcname must be str or None, not %s", Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
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
    py::object os_error_type = py::reinterpret_borrow<py::object>(PyExc_OSError);
    if (e.error_number() != 0) {
        // OSError(errno, strerror, filename) picks the matching subclass
        // (FileNotFoundError, PermissionError, ...).
        if (e.path().empty()) {
            return os_error_type(e.error_number(), e.reason());
        }
        return os_error_type(e.error_number(), e.reason(),
                             py::module_::import("os").attr("fsdecode")(py::bytes(e.path())));
    }
    // No errno to go with: the message alone, which names the path. (Setting
    // `filename` here would make OSError print "[Errno None] None".)
    return os_error_type(e.what());
}

py::object init(const py::object& thread_type, const py::object& event_type, const py::args& args,
                const py::kwargs& kwargs) {
    static const host::Signature signature(
        "__init__", {host::required("self"), host::required("tarfile_path"),
                     host::required("pipeline_info"), host::required("cache_info")});
    std::vector<py::object> values = signature.bind(args, kwargs);
    py::object self = values[0];
    py::str tarfile_path = host::exact_str(values[1], "tarfile_path");
    py::dict pipeline_info = host::exact_dict(values[2], "pipeline_info");
    py::list cache_info = host::exact_list(values[3], "cache_info");

    thread_type.attr("__init__")(self);
    self.attr("_stop_event") = event_type();
    self.attr("_tarfile_path") = tarfile_path;
    self.attr("_pipeline_info") = pipeline_info;
    self.attr("_cache_info") = cache_info;
    self.attr("_error") = py::none();
    self.attr("_cancel_flag") = py::cast(CancelFlag());
    return py::none();
}

py::object run(const py::args& args, const py::kwargs& kwargs) {
    static const host::Signature signature("run", {host::required("self")});
    py::object self = signature.bind(args, kwargs)[0];

    py::object error = py::none();
    try {
        self.attr("_stop_event").attr("clear")();
        const std::optional<std::string> archive_path = path_value(self.attr("_tarfile_path"));
        if (!archive_path) {
            PyErr_SetString(PyExc_TypeError, "_tarfile_path is None");
            throw py::error_already_set();
        }

        // The inputs are read here, with the GIL, before the engine runs. A
        // failure to read an entry ends the archive where the entry would
        // have been, as if the engine had failed on it.
        std::vector<archive::Source> sources;
        std::optional<py::error_already_set> gather_error;
        try {
            sources.push_back(read_source(self.attr("_pipeline_info"), "filepath"));
            for (py::handle entry : self.attr("_cache_info")) {
                sources.push_back(read_source(entry, "dirpath"));
            }
        } catch (py::error_already_set& e) {
            gather_error.emplace(std::move(e));
        }

        const std::shared_ptr<std::atomic<bool>> cancelled = cancel_flag(self).raised;
        archive::Options options;
        options.end_of_archive = !gather_error;
        options.cancel = cancelled.get();
        std::optional<archive::ArchiveError> engine_error;
        std::string other_error;
        {
            py::gil_scoped_release release;
            try {
                archive::write_archive(*archive_path, sources, options);
            } catch (const archive::ArchiveError& e) {
                engine_error.emplace(e);
            } catch (const std::exception& e) {
                other_error = e.what();
                if (other_error.empty()) {
                    other_error = "archive writer failed";
                }
            }
        }
        if (engine_error) {
            error = os_error(*engine_error);
        } else if (!other_error.empty()) {
            error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(other_error);
        } else if (gather_error) {
            error = gather_error->value();
        }
    } catch (py::error_already_set& e) {
        error = e.value();
    } catch (const std::exception& e) {
        error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(std::string(e.what()));
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
    static auto* cancel_flag_type = new py::object(py::class_<CancelFlag>(m, "_CancelFlag", py::module_local()));
    (void)cancel_flag_type;
    py::delattr(m, "_CancelFlag");

    py::object thread_type = m.attr("Thread");
    py::object event_type = m.attr("Event");

    const py::dict init_annotations = host::annotations({{"tarfile_path", "str"},
                                                         {"pipeline_info", "Dict[str, str]"},
                                                         {"cache_info", "List[Dict[str, str]]"},
                                                         {"return", "None"}});
    const py::dict none_annotations = host::annotations({{"return", "None"}});
    const py::dict bool_annotations = host::annotations({{"return", "bool"}});
    const py::dict error_annotations = host::annotations({{"return", "Optional[BaseException]"}});

    using Kind = host::MethodSpec::Kind;
    host::make_class(
        m, host::ClassSpec{
               "CacheCompressThread",
               "Compress cache dir to tar.gz file.",
               py::make_tuple(thread_type),
               {
                   host::MethodSpec{"__init__", "",
                                    [thread_type, event_type](const py::args& a, const py::kwargs& k) {
                                        return init(thread_type, event_type, a, k);
                                    },
                                    Kind::instance, init_annotations},
                   host::MethodSpec{"stop", "Stop execution.",
                                    [](const py::args& a, const py::kwargs& k) {
                                        static const host::Signature s("stop", {host::required("self")});
                                        py::object self = s.bind(a, k)[0];
                                        self.attr("_stop_event").attr("set")();
                                        return py::object(py::none());
                                    },
                                    Kind::instance, none_annotations},
                   host::MethodSpec{"is_stopped", "Check if execution is stopped.",
                                    [](const py::args& a, const py::kwargs& k) {
                                        static const host::Signature s("is_stopped", {host::required("self")});
                                        py::object self = s.bind(a, k)[0];
                                        return self.attr("_stop_event").attr("is_set")();
                                    },
                                    Kind::instance, bool_annotations},
                   host::MethodSpec{"run", "Run thread.", run, Kind::instance, none_annotations},
                   host::MethodSpec{"cancel", kCancelDoc,
                                    [](const py::args& a, const py::kwargs& k) {
                                        static const host::Signature s("cancel", {host::required("self")});
                                        py::object self = s.bind(a, k)[0];
                                        cancel_flag(self).raised->store(true);
                                        return py::object(py::none());
                                    },
                                    Kind::instance, none_annotations},
                   host::MethodSpec{"error", kErrorDoc,
                                    [](const py::args& a, const py::kwargs& k) {
                                        static const host::Signature s("error", {host::required("self")});
                                        py::object self = s.bind(a, k)[0];
                                        return py::object(self.attr("_error"));
                                    },
                                    Kind::instance, error_annotations},
               },
           });
}

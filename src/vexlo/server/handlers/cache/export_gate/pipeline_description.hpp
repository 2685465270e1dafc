// What an export describes and how its archive and trees are named.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gil_slices.hpp"
#include "vexlo/server/host/imports.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

// The components that ran successfully and are cached, as "pipeline.json"
// describes them: one member per identifier, at the position of its first
// component and with the entry of its last. A pipeline may have a hundred
// thousand components, so each is read a GIL slice at a time and kept as
// JSON text, with no Python container of its own: the garbage collector,
// which walks every container while it holds the GIL, gets nothing new.
class Description {
 public:
  struct Member {
    py::object identifier;
    py::object cache_dir;  // "component_cache_dir", as read
  };

  Description(const host::ModuleGlobals& g, const py::object& components, GilSlices& slices);

  bool empty() const { return members_.empty(); }
  const std::vector<Member>& members() const { return members_; }

  // The members' text, name and value, for the file. Raises the error of the
  // first entry that cannot be written as JSON.
  const std::vector<std::pair<std::string, std::string>>& text() const;
  // The text, for its owner to free without the GIL.
  std::vector<std::pair<std::string, std::string>> release_text() { return std::move(text_); }

  // Each exported component's tree in the archive is "component-" +
  // identifier, one path component. The message naming the first member with
  // a cache directory whose identifier cannot be that: one holding "/", "\"
  // (a separator for Windows tools) or NUL, which would climb out of the
  // archive or merge trees; one that is not UTF-8 text (a lone surrogate); or
  // two that give the same tree. Nothing when every identifier can.
  std::optional<std::string> unfit_identifier(GilSlices& slices) const;

 private:
  std::vector<Member> members_;
  std::vector<std::pair<std::string, std::string>> text_;
  std::vector<py::object> errors_;  // per member: None, or why its entry is no JSON
};

// "component-" + the identifier's text, once unfit_identifier() has passed it.
std::string tree_name(py::handle identifier);

// "<notebook>-diskcache.tar.gz": the notebook's last path component without
// its extension (a leading run of dots is not an extension).
std::string archive_file_name(const std::string& ipynb_name);

// The archive's name in its scratch directory: the offered name where a file
// name can hold it (NAME_MAX bytes), else its stem cut short at a character
// boundary. A notebook's name may be longer than a file name can be once the
// suffix is added; the browser is offered the whole name all the same.
std::string archive_disk_name(const std::string& offered);

}  // namespace vexlo::export_gate

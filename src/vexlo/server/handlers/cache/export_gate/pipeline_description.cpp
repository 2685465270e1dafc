#include "pipeline_description.hpp"

#include <climits>
#include <unordered_map>

#include "vexlo/server/host/component_selection.hpp"
#include "vexlo/server/host/errors.hpp"
#include "vexlo/server/host/json_text.hpp"

namespace vexlo::export_gate {

namespace {

constexpr const char* kArchiveSuffix = "-diskcache.tar.gz";

// The JSON text of a component's entry, its members read in this order.
// Errors reading the record are the caller's; one writing it as JSON is kept
// in `error`, since it belongs to the description file.
std::string entry_text(const host::JsonEncoder& json, py::handle component, py::object& cache_dir,
                       py::object& error) {
  auto encoded = [&](const py::object& value) -> std::string {
    if (!error.is_none())
      return std::string();
    try {
      return json.value_text(value);
    } catch (py::error_already_set& e) {
      if (!host::is_ordinary(e))
        throw;
      error = e.value();
      return std::string();
    }
  };
  std::string text = "{\"component_name\": " + encoded(component.attr("name"));
  text += ", \"component_metadata\": " + encoded(component.attr("metadata").attr("dict")());
  text += ", \"component_cell_code\": " + encoded(component.attr("code"));
  cache_dir = component.attr("diskcache_dir");
  text += ", \"component_cache_dir\": " + encoded(cache_dir);
  text += ", \"execution_status\": " + encoded(component.attr("execution_status"));
  text += ", \"parent_ids\": [";
  bool first = true;
  for (py::handle parent : component.attr("parents")) {
    text += first ? "" : ", ";
    text += encoded(parent["id"]);
    first = false;
  }
  return text + "]}";
}

}  // namespace

Description::Description(const host::ModuleGlobals& g, const py::object& components, GilSlices& slices) {
  const host::JsonEncoder json;
  py::dict position;  // identifier -> index of its member
  for (py::handle component : components) {
    slices.pause_if_due();
    if (!host::successful_and_cached(g, component))
      continue;
    py::object cache_dir, error = py::none();
    std::string entry = entry_text(json, component, cache_dir, error);
    const py::object identifier = component.attr("identifier");
    if (position.contains(identifier)) {
      const std::size_t i = position[identifier].cast<std::size_t>();
      members_[i].cache_dir = cache_dir;
      text_[i].second = std::move(entry);
      errors_[i] = error;
      continue;
    }
    position[identifier] = py::int_(members_.size());
    members_.push_back(Member{identifier, cache_dir});
    text_.emplace_back(json.member_name(identifier), std::move(entry));
    errors_.push_back(error);
  }
}

const std::vector<std::pair<std::string, std::string>>& Description::text() const {
  for (const auto& error : errors_) {
    if (!error.is_none())
      host::raise_error(error);
  }
  return text_;
}

std::optional<std::string> Description::unfit_identifier(GilSlices& slices) const {
  static const std::string kSeparators("/\\\0", 3);
  std::unordered_map<std::string, py::handle> trees;
  for (const auto& member : members_) {
    slices.pause_if_due();
    if (member.cache_dir.is_none())
      continue;  // no tree
    const std::string shown = py::repr(member.identifier).cast<std::string>();
    const std::string prefix = "The component identifier " + shown + " cannot name a folder in the archive: ";
    std::string name;
    try {
      name = py::bytes(py::str(member.identifier).attr("encode")("utf-8")).cast<std::string>();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_UnicodeEncodeError))
        throw;
      return prefix + "it is not UTF-8 text (" + py::str(e.value().attr("reason")).cast<std::string>() + ").";
    }
    if (name.find_first_of(kSeparators) != std::string::npos)
      return prefix +
             "it holds a \"/\", a \"\\\" or a NUL character, which would make a path of the folder's name.";
    const auto [earlier, fresh] = trees.emplace(name, member.identifier);
    if (!fresh) {
      return "The component identifiers " + py::repr(earlier->second).cast<std::string>() + " and " + shown +
             " would name the same folder in the archive, component-" + name + ".";
    }
  }
  return std::nullopt;
}

std::string tree_name(py::handle identifier) {
  return "component-" + py::str(identifier).cast<std::string>();
}

std::string archive_file_name(const std::string& ipynb_name) {
  const auto slash = ipynb_name.rfind('/');
  std::string stem = slash == std::string::npos ? ipynb_name : ipynb_name.substr(slash + 1);
  const auto dot = stem.rfind('.');
  if (dot != std::string::npos && stem.find_first_not_of('.') < dot)
    stem.resize(dot);
  return stem + kArchiveSuffix;
}

std::string archive_disk_name(const std::string& offered) {
  if (offered.size() <= NAME_MAX)
    return offered;
  const std::string suffix = kArchiveSuffix;
  std::size_t keep = NAME_MAX - suffix.size();
  // Never half a UTF-8 character: back off over continuation bytes.
  while (keep > 0 && (static_cast<unsigned char>(offered[keep]) & 0xC0) == 0x80)
    --keep;
  return offered.substr(0, keep) + suffix;
}

}  // namespace vexlo::export_gate

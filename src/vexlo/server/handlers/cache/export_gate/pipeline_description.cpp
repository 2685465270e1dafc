#include "pipeline_description.hpp"

#include <climits>
#include <unordered_map>

#include "vexlo/server/host/component_selection.hpp"
#include "vexlo/server/host/json_text.hpp"

namespace vexlo::export_gate {

namespace {

constexpr const char* kArchiveSuffix = "-diskcache.tar.gz";

py::dict describe(const py::handle& component) {
  py::dict entry;
  entry["component_name"] = component.attr("name");
  entry["component_metadata"] = component.attr("metadata").attr("dict")();
  entry["component_cell_code"] = component.attr("code");
  entry["component_cache_dir"] = component.attr("diskcache_dir");
  entry["execution_status"] = component.attr("execution_status");
  py::list parent_ids;
  for (py::handle parent : component.attr("parents"))
    parent_ids.append(parent["id"]);
  entry["parent_ids"] = parent_ids;
  return entry;
}

}  // namespace

py::dict describe_cached_components(const host::ModuleGlobals& g, const py::object& components,
                                    GilSlices& slices) {
  py::dict cached_pipeline;
  for (py::handle component : components) {
    slices.pause_if_due();
    if (!host::successful_and_cached(g, component))
      continue;
    py::dict entry = describe(component);
    cached_pipeline[component.attr("identifier")] = entry;
  }
  return cached_pipeline;
}

std::optional<std::string> unfit_identifier(const py::dict& cached_pipeline, GilSlices& slices) {
  static const std::string kSeparators("/\\\0", 3);
  std::unordered_map<std::string, py::object> trees;
  for (auto item : cached_pipeline) {
    slices.pause_if_due();
    if (py::reinterpret_borrow<py::dict>(item.second)["component_cache_dir"].is_none())
      continue;  // no tree
    const std::string shown = py::repr(item.first).cast<std::string>();
    const std::string prefix = "The component identifier " + shown + " cannot name a folder in the archive: ";
    std::string name;
    try {
      name = py::bytes(py::str(item.first).attr("encode")("utf-8")).cast<std::string>();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_UnicodeEncodeError))
        throw;
      return prefix + "it is not UTF-8 text (" + py::str(e.value().attr("reason")).cast<std::string>() + ").";
    }
    if (name.find_first_of(kSeparators) != std::string::npos)
      return prefix +
             "it holds a \"/\", a \"\\\" or a NUL character, which would make a path of the folder's name.";
    const auto [earlier, fresh] = trees.emplace(name, py::reinterpret_borrow<py::object>(item.first));
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

std::vector<std::string> description_members(const py::dict& cached_pipeline, GilSlices& slices) {
  const host::JsonEncoder json;
  std::vector<std::string> members;
  members.reserve(cached_pipeline.size());
  for (auto item : cached_pipeline) {
    slices.pause_if_due();
    members.push_back(json.member_name(item.first) + ": " + json.value_text(item.second));
  }
  return members;
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

#include "pipeline_description.hpp"

#include <climits>

#include "vexlo/server/host/component_selection.hpp"

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

py::dict describe_cached_components(const host::ModuleGlobals& g, const py::object& components) {
  py::dict cached_pipeline;
  for (py::handle component : components) {
    if (!host::successful_and_cached(g, component))
      continue;
    py::dict entry = describe(component);
    cached_pipeline[component.attr("identifier")] = entry;
  }
  return cached_pipeline;
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

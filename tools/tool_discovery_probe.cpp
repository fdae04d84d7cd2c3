// Prints what the outside-tool search finds when run from the folder this program's file lies
// in, as one JSON object. The tests copy it into temporary folders so that the executable folder
// (the base of "config.json" and of the tools folder) is one they built.
//
//   tool_discovery_probe report        every folder, record and the icat search
//   tool_discovery_probe find NAME...  find_tool_executable with the names
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "service/tool_config.h"

namespace {

using kavel_lib::service::ToolConfig;
using nlohmann::json;

json text_or_null(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

json config_json(const ToolConfig& config) {
  return json{{"ddrescue", text_or_null(config.ddrescue)}, {"testdisk", text_or_null(config.testdisk)},
              {"photorec", text_or_null(config.photorec)}, {"fls", text_or_null(config.fls)},
              {"foremost", text_or_null(config.foremost)}};
}

json report() {
  namespace svc = kavel_lib::service;
  json out;
  out["exe_dir"] = svc::path_text(svc::exe_dir());
  out["tools_dir"] = svc::path_text(svc::bundled_tools_dir());
  out["loaded"] = config_json(svc::load_service_config());
  out["defaults"] = config_json(svc::default_tool_config());
  const auto resolved = svc::load_config_and_resolve_tools();
  out["resolved"] = config_json(resolved);
  if (auto icat = svc::find_icat(resolved)) {
    out["icat"] = svc::path_text(*icat);
    auto located = svc::require_tool_file("icat", *icat);
    out["icat_required"] = located ? json(svc::path_text(located->path)) : json(located.error().display());
  } else {
    out["icat"] = nullptr;
    out["icat_error"] = icat.error().display();
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  json out;
  if (args.size() == 1 && args[0] == "report") {
    out = report();
  } else if (!args.empty() && args[0] == "find") {
    const std::vector<std::string_view> names(args.begin() + 1, args.end());
    const auto found = kavel_lib::service::find_tool_executable(names);
    out["found"] = found ? json(kavel_lib::service::path_text(*found)) : json(nullptr);
  } else {
    std::fputs("usage: tool_discovery_probe report | find NAME...\n", stderr);
    return 2;
  }
  std::puts(out.dump().c_str());
  return 0;
}

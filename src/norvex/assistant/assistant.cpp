// Construction, (re)configuration and saving of the assistant object.
#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/host/host.hpp"
#include "norvex/dataset/data_context.hpp"

namespace norvex {
namespace {

[[noreturn]] void missing_attribute(const char* name) {
  throw AttributeError(std::string("'norvex' object has no attribute '") + name + "'");
}

long long integer_argument(const json& value, const char* name) {
  if (value.is_number_integer()) return value.get<long long>();
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!std::isfinite(d))
      throw ValueError(std::string("cannot convert ") + name + " to an integer");
    return static_cast<long long>(std::trunc(d));
  }
  throw TypeError(std::string(name) + " must be an integer, not " + value.type_name());
}

// Text names, then anndata's unique-name rule; acts on the dataset in place.
void normalise_names(AnnData& adata) {
  adata.obs_names_make_unique();
  adata.var_names_make_unique();
}

}  // namespace

AnnData& norvex::require_adata() const {
  if (!adata) missing_attribute("adata");
  return *adata;
}
const std::string& norvex::require_data_context() const {
  if (!data_context) missing_attribute("data_context");
  return *data_context;
}
long long norvex::require_max_retries() const {
  if (!max_retries) missing_attribute("max_retries");
  return *max_retries;
}
bool norvex::require_rem_router() const {
  if (!rem_router) missing_attribute("rem_router");
  return *rem_router;
}

norvex::norvex(const AssistantOptions& o) {
  set_api_key(o.api_key, o.model_to_use, o.adata, o.tool_funcs, o.tool_defaults, o.tool_config_map,
              o.max_retries, o.rem_router, o.base_url);
  // The history and last_tx start fresh even when the dataset argument was unusable.
  t_hist = transaction_history(40);
  last_tx = nullptr;
}

void norvex::set_api_key(const std::optional<std::string>& api_key_arg,
                         const std::string& model_to_use, DatasetArg adata_arg,
                         std::optional<ToolFuncs> tool_funcs,
                         std::optional<ToolDefaults> tool_defaults,
                         std::optional<ToolConfigMap> tool_config_map, json max_retries_arg,
                         bool rem_router_arg, std::optional<std::string> base_url) {
  // Argument types are checked before any field is touched.
  if (tool_defaults && !tool_defaults->is_object()) {
    throw TypeError(std::string("tool_defaults must be a dict or None, not ") +
                    tool_defaults->type_name());
  }
  const long long retries = integer_argument(max_retries_arg, "max_retries");

  api_key = api_key_arg;
  model_name = model_to_use;

  if (auto* path = std::get_if<std::string>(&adata_arg)) {
    file_h5ad = *path;
    adata = AnnData::read_h5ad(*path);
  } else if (auto* obj = std::get_if<std::shared_ptr<AnnData>>(&adata_arg); obj && *obj) {
    adata = *obj;
    file_h5ad = "norvex_processed_anndata.h5ad";
  } else {
    current_host().print("❌ ERROR: adata must be a valid path to a H5AD file or AnnData object.");
    return;
  }

  normalise_names(*adata);

  if (model_to_use.rfind("gemini", 0) == 0) {
    client = std::make_shared<GeminiClient>(api_key_arg, base_url);
  } else {
    client = std::make_shared<OpenAIClient>(api_key_arg, base_url);
  }

  data_context = get_data_context(*adata);

  Tool_config_map = tool_config_map ? std::move(tool_config_map) : builtin_tool_config_map();
  Tool_funcs = tool_funcs ? std::move(tool_funcs) : builtin_tool_funcs();
  Tool_defaults = tool_defaults ? std::move(*tool_defaults)
                                : build_tool_defaults_v3(*Tool_funcs, *Tool_config_map);

  max_retries = retries;
  rem_router = rem_router_arg;
}

void norvex::write_h5ad(const std::string& file_name) const {
  require_adata().write_h5ad(file_name);
}

}  // namespace norvex

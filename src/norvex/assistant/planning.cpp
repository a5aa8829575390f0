// generate_parameters: the planner call that turns a request into a tool's arguments.
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/host/host.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::flows {

std::optional<LLMResult> generate_parameters(Session& s, const std::string& target_function_name,
                                             const std::string& user_query,
                                             const ParameterOptions& options) {
  std::string context = s.data_context;
  NotebookHost& host = s.host;
  try {
    const auto& schemas = func_args_schema_registry();
    auto schema_it = schemas.find(target_function_name);
    if (schema_it == schemas.end()) throw key_error(target_function_name);
    const auto& defs = function_def_registry();
    auto def_it = defs.find(target_function_name);
    if (def_it == defs.end()) throw key_error(target_function_name);
    const std::string prompt = detail::fill_template(prompts::func_args_fetch_prompt(),
                                                     {{"function_definition", def_it->second}});
    if (schema_it->second.is_null()) {
      host.print("❌ No schema for tool: " + target_function_name);
      return std::nullopt;
    }
    if (options.extra_context && !options.extra_context->empty())
      context = context + "\n\n" + py_strip(*options.extra_context) + "\n";

    detail::Stopwatch watch;
    host.print("✅ Constructing parameters .. ", false);
    JsonCallOptions call;
    call.schema = schema_it->second;
    call.system_message = prompt;
    call.data_context = context;
    call.max_retries = s.max_retries;
    LLMResult res = s.model.json_enforced_call(user_query, call);
    host.print("done (" + watch.seconds() + ", " + last_usage_text(res.usage) + ")");
    if (is_plain_mapping(options.extra_overrides) && is_plain_mapping(res.content))
      res.content = deep_merge(res.content, options.extra_overrides);
    return res;
  } catch (const std::exception& e) {
    const std::string kind = error_type_name(e);
    host.print("Tool name " + target_function_name + " not available. (" + kind + ": " + e.what() +
               ")");
    host.print("❌ generate_parameters failed for tool=" + target_function_name + ": " + kind +
               ": " + e.what());
    host.print_error("Traceback (most recent call last):\n  in generate_parameters(tool=" +
                     target_function_name + ")\n" + kind + ": " + e.what() + "\n");
    return std::nullopt;
  }
}

}  // namespace norvex::flows

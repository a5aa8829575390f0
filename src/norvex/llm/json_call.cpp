// The schema-enforced JSON call: the schema stated in the prompt, the answer extracted,
// cleaned, completed and validated locally, with repair rounds that quote the error.
#include <optional>

#include "norvex/common/errors.hpp"
#include "norvex/llm/json_helpers.hpp"
#include "norvex/llm/model_gateway.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/llm/validation.hpp"

namespace norvex {
namespace {

const char* kContract =
    "\n\n=== OUTPUT CONTRACT (VERY IMPORTANT) ===\n"
    "You MUST return ONLY valid JSON.\n"
    "Do NOT include markdown, explanations, or extra keys.\n"
    "The JSON must conform EXACTLY to the provided JSON schema.\n"
    "If you cannot comply, internally fix your output and return only corrected JSON.\n"
    "=== END CONTRACT ===\n"
    "JSON_SCHEMA:\n";

struct RecordedError {
  std::string type = "NoneType";  // what the text shows before any error was recorded
  std::string message = "None";
};

RecordedError record(const std::exception& e) {
  return {error_type_name(e), e.what()};
}

}  // namespace

LLMResult ModelGateway::json_enforced_call(const std::string& user_query,
                                           const JsonCallOptions& options) {
  const json& schema = options.schema;
  if (schema.is_null()) {
    throw TypeError("_json_enforced_call() missing 1 required keyword-only argument: 'schema'");
  }
  if (!schema.is_object()) {
    throw TypeError(std::string("_json_enforced_call() argument 'schema' must be dict, not ") +
                    py_type_name(schema));
  }
  const long long max_retries = options.max_retries;

  const std::string schema_text = py_json_dumps(schema);
  const std::string base_system = options.system_message + kContract + schema_text + "\n";
  std::string prompt_user = user_query;
  RecordedError last_err;
  std::optional<std::string> last_raw;
  json total_usage = {{"input_tokens", 0}, {"output_tokens", 0}, {"total_tokens", 0}};

  for (long long attempt = 0; attempt <= max_retries; ++attempt) {
    AskOptions ask;
    ask.system_message = base_system;
    ask.data_context = options.data_context;
    ask.enforce_schema = schema;
    LLMResult res = ask_inner(prompt_user, ask);
    for (auto it = total_usage.begin(); it != total_usage.end(); ++it) {
      const bool present = res.usage.is_object() && res.usage.contains(it.key());
      const long long count = present ? token_count(res.usage[it.key()]) : 0;
      it.value() = add_token_counts(it.value().get<long long>(), count);
    }

    const json& raw = res.content;
    json data;
    if (raw.is_object() || raw.is_array()) {
      data = raw;
      last_raw = py_json_dumps(raw);
    } else {
      last_raw = py_truthy(raw) ? py_strip(py_str(raw)) : "";
      try {
        data = parse_json_text(extract_json_object(*last_raw));
      } catch (const std::exception& e) {
        last_err = record(e);
        data = nullptr;
      }
    }

    if (!data.is_null()) {
      try {
        data = drop_nones_keep_required(data, schema);
        ensure_required_defaults(data, schema);
        jsonschema_validate(data, schema);
        LLMResult out;
        out.content = std::move(data);
        out.usage = total_usage;
        out.raw = {{"attempts", attempt + 1}};
        out.provider = res.provider;
        out.model = res.model;
        return out;
      } catch (const std::exception& e) {
        last_err = record(e);
      }
    }

    prompt_user = "Your previous output did not conform to the schema.\n\n[VALIDATION_ERROR]\n" +
                  last_err.type + ": " + last_err.message + "\n\n[YOUR_PREVIOUS_OUTPUT]\n" +
                  *last_raw +
                  "\n\nNow regenerate ONLY the corrected JSON that conforms EXACTLY to the "
                  "schema. No markdown, no extra keys.";
  }
  throw RuntimeError("Failed to produce schema-valid JSON after retries. Last error: " +
                     last_err.type + ": " + last_err.message + "\nLast output: " +
                     (last_raw ? utf8_prefix(*last_raw, 800) : std::string("None")));
}

}  // namespace norvex

// The provider-neutral model call and the two provider adapters, each in its service's own
// request shape: Gemini generateContent (role and query as the first text part, extra texts
// and inline images as further parts) and OpenAI Responses (one input text, images as data
// URLs) or Chat Completions (system and user messages, for local compatible servers).
#include <regex>
#include <string>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/llm/client.hpp"
#include "norvex/llm/model_gateway.hpp"
#include "norvex/llm/usage.hpp"

namespace norvex {
namespace {

// A text argument: null counts as empty; anything else but text is a type error.
std::string text_arg(const json& value, const char* function, const char* name) {
  if (value.is_null()) return "";
  if (!value.is_string()) {
    throw TypeError(std::string(function) + "() argument '" + name + "' must be str, not " +
                    py_type_name(value));
  }
  return value.get<std::string>();
}

void check_schema_arg(const json& schema, const char* function) {
  if (!schema.is_null() && !schema.is_object()) {
    throw TypeError(std::string(function) + "() argument 'schema' must be dict or None, not " +
                    py_type_name(schema));
  }
}

// One image given as a bare text is one image, not a list of characters.
json as_image_list(const json& images, const char* function) {
  if (images.is_null()) return json::array();
  if (images.is_string()) return json::array({images});
  if (!images.is_array()) {
    throw TypeError(std::string(function) +
                    "() argument 'images_base64' must be a list of str or None, not " +
                    py_type_name(images));
  }
  return images;
}

void check_image_entry(const json& entry, const char* function) {
  if (!entry.is_string()) {
    throw TypeError(std::string(function) + "() images_base64 entries must be str, not " +
                    py_type_name(entry));
  }
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The images of a call as data URLs (blank entries left out): a data URL is sent as it is;
// only a bare payload gets the prefix. Both OpenAI wires take them this way.
std::vector<std::string> image_data_urls(const AskOptions& options, const char* function) {
  std::vector<std::string> urls;
  for (const json& entry : as_image_list(options.images_base64, function)) {
    if (entry.is_null()) continue;
    check_image_entry(entry, function);
    const std::string s = py_strip(entry.get_ref<const std::string&>());
    if (s.empty()) continue;
    urls.push_back(starts_with(s, "data:") ? s : "data:" + options.image_mime + ";base64," + s);
  }
  return urls;
}

template <class Client>
const Client& require_client(const std::shared_ptr<ServiceClient>& client, const char* attribute) {
  if (!client) throw AttributeError("'norvex' object has no attribute 'client'");
  const auto* typed = dynamic_cast<const Client*>(client.get());
  if (!typed) {
    throw AttributeError(
        std::string("'") +
        (std::string(client->provider()) == "gemini" ? "GeminiClient" : "OpenAIClient") +
        "' object has no attribute '" + attribute + "'");
  }
  return *typed;
}

// The Gemini adapter's failure report: one line on the console, the trace on the error
// stream, then what may help to see why (schema keys, the start of the answer).
void report_gemini_failure(NotebookHost& host, const std::exception& e, const json& schema,
                           const json* resp) {
  const std::string type = error_type_name(e);
  host.print(std::string("❌ _ask_gemini error: ") + type + " " + e.what());
  host.print_error(std::string("Traceback (most recent call last):\n  File \"norvex\", in "
                               "_ask_gemini\n") +
                   type + ": " + e.what() + "\n");
  host.print("---- schema keys ----");
  if (schema.is_object()) {
    json keys = json::array();
    for (auto it = schema.begin(); it != schema.end(); ++it) keys.push_back(it.key());
    host.print(py_repr(keys));
  }
  host.print("---- resp.text (if any) ----");
  if (resp) {
    if (auto text = gemini_response_text(*resp)) host.print(utf8_prefix(*text, 500));
  }
}

// A whole answer inside one Markdown code fence (some servers add one even under a
// schema): the fenced text; anything else unchanged.
std::string strip_code_fence(const std::string& text) {
  const std::string t = py_strip(text);
  if (t.size() < 6 || t.rfind("```", 0) != 0 || t.compare(t.size() - 3, 3, "```") != 0) return text;
  const size_t body = t.find('\n');
  if (body == std::string::npos || body + 1 > t.size() - 3) return text;
  return py_strip(t.substr(body + 1, t.size() - 3 - (body + 1)));
}

// response_format's name: the schema's title when the service would accept it.
std::string schema_name(const json& schema) {
  static const std::regex allowed("[A-Za-z0-9_-]{1,64}");
  if (schema.contains("title") && schema["title"].is_string()) {
    const std::string title = schema["title"].get<std::string>();
    if (std::regex_match(title, allowed)) return title;
  }
  return "norvex_output";
}

// choices[0].message.content as text: a string, or the text parts of a list; null is empty.
std::string chat_content(const json& message) {
  if (!message.is_object() || !message.contains("content")) return "";
  const json& content = message["content"];
  if (content.is_string()) return content.get<std::string>();
  std::string text;
  if (content.is_array()) {
    for (const json& part : content)
      if (part.is_object() && part.contains("text") && part["text"].is_string())
        text += part["text"].get<std::string>();
  }
  return text;
}

}  // namespace

ModelGateway::ModelGateway(std::string model_name, std::shared_ptr<ServiceClient> client,
                           NotebookHost* host, UsageLedger* ledger)
    : model_name_(std::move(model_name)),
      client_(std::move(client)),
      host_(host ? host : &terminal_host()),
      ledger_(ledger) {}

void ModelGateway::record_usage(const LLMResult& result, const json& response) {
  if (ledger_) ledger_->record(model_name_, result.usage, cached_input_tokens(response));
}

std::string ModelGateway::combine_role(const json& system_message, const json& data_context) const {
  return py_strip(text_arg(system_message, "_combine_role", "system_message") +
                  text_arg(data_context, "_combine_role", "data_context"));
}

std::string ModelGateway::build_prompt(const json& user_query, const json& role) const {
  std::string prompt;
  const std::string r = text_arg(role, "_build_prompt", "role");
  if (!r.empty()) prompt += py_strip(r) + "\n\n";
  prompt += py_strip(text_arg(user_query, "_build_prompt", "user_query"));
  return prompt;
}

json ModelGateway::normalize_images(const json& images_base64) const {
  const json images = as_image_list(images_base64, "_normalize_images");
  if (images.empty()) return nullptr;
  json out = json::array();
  for (const json& entry : images) {
    if (entry.is_null()) continue;
    check_image_entry(entry, "_normalize_images");
    if (entry.get_ref<const std::string&>().empty()) continue;
    std::string s = py_strip(entry.get_ref<const std::string&>());
    const size_t marker = s.find("base64,");
    if (starts_with(s, "data:") && marker != std::string::npos) s = s.substr(marker + 7);
    out.push_back(std::move(s));
  }
  return out.empty() ? json() : out;
}

json ModelGateway::normalize_text_parts(const json& text_parts) const {
  if (text_parts.is_null()) return nullptr;
  if (text_parts.is_string()) return json::array({text_parts});
  json out = json::array();
  if (text_parts.is_array()) {
    for (const json& t : text_parts)
      if (!t.is_null()) out.push_back(py_str(t));
  } else if (text_parts.is_object()) {
    for (auto it = text_parts.begin(); it != text_parts.end(); ++it) out.push_back(it.key());
  } else {
    throw TypeError(std::string("'") + py_type_name(text_parts) + "' object is not iterable");
  }
  return out.empty() ? json() : out;
}

LLMResult ModelGateway::ask_gemini(const std::string& user_query, const std::string& role,
                                   const json& schema, const AskOptions& options) {
  check_schema_arg(schema, "_ask_gemini");
  check_interrupt();
  const std::string prompt = build_prompt(user_query, role);
  const json images = normalize_images(options.images_base64);
  const json extra_texts = normalize_text_parts(options.extra_text_parts);

  json parts = json::array({{{"text", prompt}}});
  if (extra_texts.is_array()) {
    for (const json& t : extra_texts) {
      const std::string& s = t.get_ref<const std::string&>();
      if (!s.empty() && !py_strip(s).empty()) parts.push_back({{"text", s}});
    }
  }
  if (images.is_array()) {
    for (const json& b64 : images) {
      const std::string& s = b64.get_ref<const std::string&>();
      if (s.empty()) continue;
      // Decoding validates the payload; a bad one fails here, before any request.
      const std::string bytes = base64_decode(s);
      parts.push_back(
          {{"inlineData", {{"mimeType", options.image_mime}, {"data", base64_encode(bytes)}}}});
    }
  }

  json resp;
  bool have_resp = false;
  try {
    json request = {{"contents", json::array({{{"role", "user"}, {"parts", parts}}})}};
    if (!schema.is_null()) {
      request["generationConfig"] = {{"responseMimeType", "application/json"},
                                     {"responseSchema", schema}};
    }
    const GeminiClient& gemini = require_client<GeminiClient>(client_, "models");
    ScopedWaitNotice notice([this](std::string_view line) { host_->print(line); });
    resp = gemini.generate_content(model_name_, request);
    have_resp = true;
    const std::optional<std::string> text = gemini_response_text(resp);
    LLMResult result;
    result.content = text ? *text : dump_json(resp);
    result.usage = norm_usage_gemini(resp);
    result.raw = resp;
    result.provider = "gemini";
    result.model = model_name_;
    record_usage(result, resp);
    return result;
  } catch (const std::exception& e) {
    report_gemini_failure(*host_, e, schema, have_resp ? &resp : nullptr);
    throw;
  }
}

LLMResult ModelGateway::ask_gpt(const std::string& user_query, const std::string& role,
                                const json& schema, const AskOptions& options) {
  check_schema_arg(schema, "_ask_gpt");
  check_interrupt();
  std::vector<std::string> parts;
  if (!options.system_message.empty()) parts.push_back(py_strip(options.system_message));
  if (!options.data_context.empty())
    parts.push_back("[DATA CONTEXT]\n" + py_strip(options.data_context));
  if (!role.empty()) parts.push_back("[ROLE]\n" + py_strip(role));
  parts.push_back("[USER]\n" + py_strip(user_query));
  const json& extra = options.extra_text_parts;
  if (py_truthy(extra)) {
    if (extra.is_string()) {
      parts.push_back(extra.get<std::string>());
    } else if (extra.is_array()) {
      for (const json& x : extra) parts.push_back(py_str(x));
    } else if (extra.is_object()) {
      for (auto it = extra.begin(); it != extra.end(); ++it) parts.push_back(it.key());
    } else {
      throw TypeError(std::string("'") + py_type_name(extra) + "' object is not iterable");
    }
  }
  std::string prompt;
  for (const std::string& p : parts) {
    if (p.empty()) continue;
    if (!prompt.empty()) prompt += "\n\n";
    prompt += p;
  }

  json content = json::array({{{"type", "input_text"}, {"text", prompt}}});
  for (const std::string& url : image_data_urls(options, "_ask_gpt"))
    content.push_back({{"type", "input_image"}, {"image_url", url}});
  const json messages = json::array({{{"role", "user"}, {"content", content}}});

  const OpenAIClient& openai = require_client<OpenAIClient>(client_, "responses");
  ScopedWaitNotice notice([this](std::string_view line) { host_->print(line); });
  const json resp = openai.create_response({{"model", model_name_}, {"input", messages}});
  const std::string out_text = py_strip(openai_output_text(resp));
  LLMResult result;
  result.usage =
      norm_usage_openai(resp.is_object() && resp.contains("usage") ? resp["usage"] : json());
  result.raw = resp;
  result.provider = "openai";
  result.model = model_name_;
  record_usage(result, resp);
  if (schema.is_null()) {
    result.content = out_text;
    return result;
  }
  try {
    result.content = parse_json_text(out_text);
  } catch (const JSONDecodeError& e) {
    throw RuntimeError(std::string("GPT did not return valid JSON.\nerror=") + e.what() +
                       "\nfirst500=" + utf8_prefix(out_text, 500));
  }
  return result;
}

LLMResult ModelGateway::ask_inner(const std::string& user_query, const AskOptions& options) {
  check_schema_arg(options.schema, "ask_inner");
  const std::string role = combine_role(options.system_message, options.data_context);
  AskOptions forwarded;
  forwarded.images_base64 = options.images_base64;
  forwarded.extra_text_parts = options.extra_text_parts;
  forwarded.image_mime = options.image_mime;
  // system_message and data_context reach the model only inside the role.
  if (starts_with(model_name_, "gemini")) {
    return ask_gemini(user_query, role, options.schema, forwarded);
  }
  const auto* openai = dynamic_cast<const OpenAIClient*>(client_.get());
  if (openai && openai->wire() == OpenAIWire::ChatCompletions) {
    forwarded.enforce_schema = options.enforce_schema;
    return ask_chat(user_query, role, options.schema, forwarded);
  }
  return ask_gpt(user_query, role, options.schema, forwarded);
}

LLMResult ModelGateway::ask_chat(const std::string& user_query, const std::string& role,
                                 const json& schema, const AskOptions& options) {
  check_schema_arg(schema, "_ask_chat");
  check_schema_arg(options.enforce_schema, "_ask_chat");
  check_interrupt();
  std::string text = py_strip(user_query);
  const json extras = normalize_text_parts(options.extra_text_parts);
  if (extras.is_array()) {
    for (const json& t : extras) {
      const std::string& s = t.get_ref<const std::string&>();
      if (py_strip(s).empty()) continue;
      if (!text.empty()) text += "\n\n";
      text += s;
    }
  }
  json parts = json::array({{{"type", "text"}, {"text", text}}});
  for (const std::string& url : image_data_urls(options, "_ask_chat"))
    parts.push_back({{"type", "image_url"}, {"image_url", {{"url", url}}}});
  json messages = json::array();
  if (!py_strip(role).empty())
    messages.push_back({{"role", "system"}, {"content", py_strip(role)}});
  // Plain text content where there is no image: the form every compatible server reads.
  messages.push_back(
      {{"role", "user"}, {"content", parts.size() == 1 ? json(text) : std::move(parts)}});

  const OpenAIClient& openai = require_client<OpenAIClient>(client_, "chat");
  json request = {{"model", model_name_}, {"messages", std::move(messages)}};
  // Deterministic answers from local models; OpenAI's reasoning models refuse the field.
  if (!openai.official_host()) request["temperature"] = 0;
  const json& enforced = schema.is_object() ? schema : options.enforce_schema;
  if (enforced.is_object()) {
    // The nested json_schema form: llama.cpp ignores a top-level schema, and LM Studio
    // refuses json_object without one. OpenAI's own host refuses strict mode for schemas
    // outside its strict subset (defaults, optional fields), which ours use.
    request["response_format"] = {{"type", "json_schema"},
                                  {"json_schema",
                                   {{"name", schema_name(enforced)},
                                    {"strict", !openai.official_host()},
                                    {"schema", enforced}}}};
  }
  ScopedWaitNotice notice([this](std::string_view line) { host_->print(line); });
  const json resp = openai.create_chat_completion(request);

  LLMResult result;
  result.usage =
      norm_usage_openai(resp.is_object() && resp.contains("usage") ? resp["usage"] : json());
  result.raw = resp;
  result.provider = "openai";
  result.model = model_name_;
  // Tokens are spent even when the answer is then refused below.
  record_usage(result, resp);
  const json* choice = nullptr;
  if (resp.is_object() && resp.contains("choices") && resp["choices"].is_array() &&
      !resp["choices"].empty() && resp["choices"][0].is_object()) {
    choice = &resp["choices"][0];
  }
  if (!choice) {
    throw ServiceError("APIResponseValidationError", "The server's reply has no choices[0]: " +
                                                         utf8_prefix(dump_json(resp), 300));
  }
  if (choice->value("finish_reason", json()) == "length") {
    throw ServiceError("LengthFinishReasonError",
                       "The model's answer was cut off at its length limit (finish_reason "
                       "\"length\"): the server's limit on generated tokens or its context "
                       "size is too small for this request.");
  }
  std::string out_text = py_strip(chat_content(choice->value("message", json())));
  if (enforced.is_object()) out_text = strip_code_fence(out_text);
  if (schema.is_null()) {
    result.content = out_text;
    return result;
  }
  try {
    result.content = parse_json_text(out_text);
  } catch (const JSONDecodeError& e) {
    throw RuntimeError(std::string("GPT did not return valid JSON.\nerror=") + e.what() +
                       "\nfirst500=" + utf8_prefix(out_text, 500));
  }
  return result;
}

}  // namespace norvex

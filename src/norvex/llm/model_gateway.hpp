#pragma once
// The provider-neutral model call and the schema-enforced JSON call over one service
// client. The provider follows the model name: "gemini..." goes to Gemini generateContent,
// anything else to OpenAI Responses or Chat Completions, as the client's wire says.
#include <memory>
#include <string>

#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"
#include "norvex/llm/client.hpp"
#include "norvex/llm/usage_ledger.hpp"

namespace norvex {

// The record every model call returns.
struct LLMResult {
  json content;                 // text or parsed JSON value
  json usage = json::object();  // {"input_tokens", "output_tokens", "total_tokens"}
  json raw;                     // service response, or {"attempts": n}
  std::string provider;         // "gemini" or "openai"
  std::string model;
};

// Options of ask_inner and the adapters.
struct AskOptions {
  json schema;  // JSON-schema mapping or null
  std::string system_message;
  std::string data_context;
  json images_base64;     // null or list of base64 texts / data URLs
  json extra_text_parts;  // null, one text, or a list of values
  std::string image_mime = "image/png";
  // A schema the Chat Completions wire asks the server to enforce (response_format); the
  // answer still comes back as text, checked by the caller. The other wires keep their
  // request shapes and ignore it.
  json enforce_schema;
};

struct JsonCallOptions {
  json schema;  // required mapping
  std::string system_message;
  std::string data_context;
  long long max_retries = 2;  // repair rounds after the first answer
};

class ModelGateway {
 public:
  // A null client is allowed: every call then fails with the AttributeError the
  // assistant object reports for a missing client. Failures are reported to `host` (the
  // terminal when null).
  ModelGateway(std::string model_name, std::shared_ptr<ServiceClient> client,
               NotebookHost* host = nullptr, UsageLedger* ledger = nullptr);

  const std::string& model_name() const { return model_name_; }

  std::string combine_role(const json& system_message = "", const json& data_context = "") const;
  std::string build_prompt(const json& user_query, const json& role = "") const;
  json normalize_images(const json& images_base64) const;
  json normalize_text_parts(const json& text_parts) const;

  LLMResult ask_gemini(const std::string& user_query, const std::string& role = "",
                       const json& schema = nullptr, const AskOptions& options = {});
  LLMResult ask_gpt(const std::string& user_query, const std::string& role = "",
                    const json& schema = nullptr, const AskOptions& options = {});
  // Chat Completions: the role as the system message, then the user message (query and
  // extra texts; images as image_url parts). A schema (or options.enforce_schema) goes out
  // as response_format; with `schema` the answer is parsed as JSON, as ask_gpt does.
  LLMResult ask_chat(const std::string& user_query, const std::string& role = "",
                     const json& schema = nullptr, const AskOptions& options = {});
  LLMResult ask_inner(const std::string& user_query, const AskOptions& options = {});

  // The answer forced into a JSON value valid against options.schema: extracted from
  // fenced or wordy text, nulls dropped, required fields defaulted, validated, with
  // repair rounds quoting the error. RuntimeError after the last round.
  LLMResult json_enforced_call(const std::string& user_query, const JsonCallOptions& options);

 private:
  std::string model_name_;
  // Records one successful call's usage (when the gateway has a ledger).
  void record_usage(const LLMResult& result, const json& response);

  std::shared_ptr<ServiceClient> client_;
  NotebookHost* host_;
  UsageLedger* ledger_;
};

}  // namespace norvex

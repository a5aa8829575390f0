#pragma once
// The provider-neutral model call and the schema-enforced JSON call over one service
// client. The provider follows the model name: "gemini..." goes to Gemini generateContent,
// anything else to OpenAI Responses.
#include <memory>
#include <string>

#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"
#include "norvex/llm/client.hpp"

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
               NotebookHost* host = nullptr);

  const std::string& model_name() const { return model_name_; }

  std::string combine_role(const json& system_message = "", const json& data_context = "") const;
  std::string build_prompt(const json& user_query, const json& role = "") const;
  json normalize_images(const json& images_base64) const;
  json normalize_text_parts(const json& text_parts) const;

  LLMResult ask_gemini(const std::string& user_query, const std::string& role = "",
                       const json& schema = nullptr, const AskOptions& options = {});
  LLMResult ask_gpt(const std::string& user_query, const std::string& role = "",
                    const json& schema = nullptr, const AskOptions& options = {});
  LLMResult ask_inner(const std::string& user_query, const AskOptions& options = {});

  // The answer forced into a JSON value valid against options.schema: extracted from
  // fenced or wordy text, nulls dropped, required fields defaulted, validated, with
  // repair rounds quoting the error. RuntimeError after the last round.
  LLMResult json_enforced_call(const std::string& user_query, const JsonCallOptions& options);

 private:
  std::string model_name_;
  std::shared_ptr<ServiceClient> client_;
  NotebookHost* host_;
};

}  // namespace norvex

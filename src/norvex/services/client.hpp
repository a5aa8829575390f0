#pragma once
// Model-service clients: our own small layer in place of the official Gemini and OpenAI
// client libraries. The assistant creates one by model-name prefix and holds the key as
// given; requests are made by the provider adapters.
#include <optional>
#include <string>

namespace norvex {

class ServiceClient {
 public:
  virtual ~ServiceClient() = default;
  virtual const char* provider() const = 0;  // "gemini" or "openai"
  const std::optional<std::string>& api_key() const { return api_key_; }
  const std::optional<std::string>& base_url() const { return base_url_; }

 protected:
  ServiceClient(std::optional<std::string> api_key, std::optional<std::string> base_url)
      : api_key_(std::move(api_key)), base_url_(std::move(base_url)) {}
  std::optional<std::string> api_key_;
  std::optional<std::string> base_url_;
};

class GeminiClient : public ServiceClient {
 public:
  explicit GeminiClient(std::optional<std::string> api_key,
                        std::optional<std::string> base_url = std::nullopt)
      : ServiceClient(std::move(api_key), std::move(base_url)) {}
  const char* provider() const override { return "gemini"; }
};

class OpenAIClient : public ServiceClient {
 public:
  explicit OpenAIClient(std::optional<std::string> api_key,
                        std::optional<std::string> base_url = std::nullopt)
      : ServiceClient(std::move(api_key), std::move(base_url)) {}
  const char* provider() const override { return "openai"; }
};

}  // namespace norvex

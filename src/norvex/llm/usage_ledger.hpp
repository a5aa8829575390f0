#pragma once
// What a session's model calls used and roughly cost: tokens per model, priced from the
// table in data/prices.json (USD per million tokens, dated). Local models have no price.
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

struct ModelPrice {
  double input = 0;         // per million uncached input tokens
  double cached_input = 0;  // per million input tokens served from the provider's cache
  double output = 0;        // per million output tokens (thinking included)
};

// The table's entry for `model`: its own name, or the name a dated snapshot extends
// ("gpt-4o-2024-08-06" is "gpt-4o"; "gpt-4o-mini" is not). "models/" is ignored.
std::optional<ModelPrice> find_model_price(const std::string& model);
// The day the prices were taken from the providers' price pages ("2025-08-15").
std::string price_table_date();

// Input tokens the provider served from its cache, from a response in any of the three
// shapes (Responses, Chat Completions, Gemini); 0 when not reported.
long long cached_input_tokens(const json& response);

struct ModelTally {
  long long calls = 0;
  long long input_tokens = 0;
  long long cached_input_tokens = 0;
  long long output_tokens = 0;
  long long total_tokens = 0;
};

// Estimated USD cost of `tally` at `price`. Output is billed as at least total - input,
// since Gemini's total counts thinking tokens that its output count leaves out.
double estimated_cost(const ModelTally& tally, const ModelPrice& price);

// Safe to read from one thread (a web page asking) while another records.
class UsageLedger {
 public:
  // One model call's usage mapping ({input_tokens, output_tokens, total_tokens}).
  void record(const std::string& model, const json& usage, long long cached_input = 0);
  // Models in the order of their first call.
  std::vector<std::pair<std::string, ModelTally>> tallies() const;
  // {"models": {name: {calls, input_tokens, cached_input_tokens, output_tokens,
  //  total_tokens, estimated_cost_usd (null: no price known)}}, "total_tokens",
  //  "estimated_cost_usd" (over the priced models; null when none is), "prices_as_of"}
  json report() const;
  // The lines `:usage` prints.
  std::vector<std::string> summary_lines() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, ModelTally>> tallies_;
};

}  // namespace norvex

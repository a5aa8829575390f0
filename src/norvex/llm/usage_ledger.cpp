#include "norvex/llm/usage_ledger.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "norvex/llm/resources.hpp"
#include "norvex/llm/usage.hpp"

namespace norvex {
namespace {

const json& price_table() {
  static const json table = [] {
    for (const auto& r : llm_data::embedded_resources()) {
      if (r.path == "data/prices.json") return json::parse(r.bytes);
    }
    return json::object();
  }();
  return table;
}

long long count_at(const json& obj, std::initializer_list<const char*> path) {
  const json* node = &obj;
  for (const char* key : path) {
    if (!node->is_object() || !node->contains(key)) return 0;
    node = &(*node)[key];
  }
  if (!node->is_number()) return 0;
  try {
    return token_count(*node);
  } catch (...) {
    return 0;
  }
}

std::string money(double usd) {
  char buf[32];
  std::snprintf(buf, sizeof buf, usd < 1.0 ? "$%.4f" : "$%.2f", usd);
  return buf;
}

std::string tally_text(const ModelTally& t) {
  return std::to_string(t.calls) + (t.calls == 1 ? " call, " : " calls, ") +
         std::to_string(t.input_tokens) + " input (" + std::to_string(t.cached_input_tokens) +
         " cached), " + std::to_string(t.output_tokens) + " output, " +
         std::to_string(t.total_tokens) + " total";
}

void add_to(ModelTally& sum, const ModelTally& t) {
  sum.calls += t.calls;
  sum.input_tokens = add_token_counts(sum.input_tokens, t.input_tokens);
  sum.cached_input_tokens = add_token_counts(sum.cached_input_tokens, t.cached_input_tokens);
  sum.output_tokens = add_token_counts(sum.output_tokens, t.output_tokens);
  sum.total_tokens = add_token_counts(sum.total_tokens, t.total_tokens);
}

}  // namespace

std::optional<ModelPrice> find_model_price(const std::string& model) {
  std::string name = model.rfind("models/", 0) == 0 ? model.substr(7) : model;
  const json& models = price_table().value("models", json::object());
  std::string best;
  for (auto it = models.begin(); it != models.end(); ++it) {
    const std::string& key = it.key();
    const bool exact = name == key;
    const bool snapshot = name.size() > key.size() + 1 && name.compare(0, key.size(), key) == 0 &&
                          name[key.size()] == '-' &&
                          std::isdigit(static_cast<unsigned char>(name[key.size() + 1]));
    if ((exact || snapshot) && key.size() > best.size()) best = key;
  }
  if (best.empty()) return std::nullopt;
  const json& p = models[best];
  return ModelPrice{p.value("input", 0.0), p.value("cached_input", 0.0), p.value("output", 0.0)};
}

std::string price_table_date() {
  return price_table().value("as_of", std::string("unknown"));
}

long long cached_input_tokens(const json& response) {
  if (!response.is_object()) return 0;
  if (long long n = count_at(response, {"usage", "input_tokens_details", "cached_tokens"}))
    return n;
  if (long long n = count_at(response, {"usage", "prompt_tokens_details", "cached_tokens"}))
    return n;
  if (long long n = count_at(response, {"usageMetadata", "cachedContentTokenCount"})) return n;
  return count_at(response, {"usage_metadata", "cached_content_token_count"});
}

double estimated_cost(const ModelTally& t, const ModelPrice& price) {
  const long long cached = std::min(t.cached_input_tokens, t.input_tokens);
  const long long uncached = t.input_tokens - cached;
  const long long output = std::max(t.output_tokens, t.total_tokens - t.input_tokens);
  return (static_cast<double>(uncached) * price.input +
          static_cast<double>(cached) * price.cached_input +
          static_cast<double>(output) * price.output) /
         1e6;
}

void UsageLedger::record(const std::string& model, const json& usage, long long cached_input) {
  auto field = [&](const char* name) -> long long {
    if (!usage.is_object() || !usage.contains(name)) return 0;
    try {
      return token_count(usage[name]);
    } catch (...) {
      return 0;  // a count no one could read adds nothing
    }
  };
  ModelTally call;
  call.calls = 1;
  call.input_tokens = field("input_tokens");
  call.cached_input_tokens = std::clamp(cached_input, 0LL, call.input_tokens);
  call.output_tokens = field("output_tokens");
  call.total_tokens = field("total_tokens");
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(tallies_.begin(), tallies_.end(),
                         [&](const auto& entry) { return entry.first == model; });
  if (it == tallies_.end()) {
    tallies_.emplace_back(model, call);
  } else {
    add_to(it->second, call);
  }
}

std::vector<std::pair<std::string, ModelTally>> UsageLedger::tallies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tallies_;
}

json UsageLedger::report() const {
  json models = json::object();
  long long total = 0;
  double cost = 0;
  bool any_price = false;
  for (const auto& [name, t] : tallies()) {
    json entry = {{"calls", t.calls},
                  {"input_tokens", t.input_tokens},
                  {"cached_input_tokens", t.cached_input_tokens},
                  {"output_tokens", t.output_tokens},
                  {"total_tokens", t.total_tokens},
                  {"estimated_cost_usd", nullptr}};
    if (auto price = find_model_price(name)) {
      const double c = estimated_cost(t, *price);
      entry["estimated_cost_usd"] = c;
      cost += c;
      any_price = true;
    }
    total = add_token_counts(total, t.total_tokens);
    models[name] = std::move(entry);
  }
  return {{"models", std::move(models)},
          {"total_tokens", total},
          {"estimated_cost_usd", any_price ? json(cost) : json()},
          {"prices_as_of", price_table_date()}};
}

std::vector<std::string> UsageLedger::summary_lines() const {
  const auto all = tallies();
  if (all.empty()) return {"ℹ️ INFO: No model calls yet in this session."};
  std::vector<std::string> lines = {
      "ℹ️ INFO: Tokens and estimated cost this session (prices of " + price_table_date() +
      "):"};
  ModelTally sum;
  double cost = 0;
  bool any_price = false, any_unpriced = false;
  for (const auto& [name, t] : all) {
    std::string line = "   " + name + ": " + tally_text(t) + " · ";
    if (auto price = find_model_price(name)) {
      const double c = estimated_cost(t, *price);
      cost += c;
      any_price = true;
      line += "about " + money(c);
    } else {
      any_unpriced = true;
      line += "no price known";
    }
    lines.push_back(line);
    add_to(sum, t);
  }
  if (all.size() > 1) {
    std::string line = "   all models: " + tally_text(sum) + " · ";
    if (!any_price) {
      line += "no price known";
    } else {
      line += "about " + money(cost);
      if (any_unpriced) line += " (models with no price known not counted)";
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace norvex

#pragma once
// What a request's flows work with, passed explicitly: the model gateway, the dataset and
// its data context, the tool maps, the history and the notebook host. The assistant object
// builds one per call; a flow can be read and tested with nothing else.
#include <optional>
#include <string>
#include <vector>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/history/transaction_history.hpp"
#include "norvex/host/host.hpp"
#include "norvex/llm/model_gateway.hpp"

namespace norvex {

// The tool maps an assistant runs with: the registry's, or the caller's own.
struct ToolMaps {
  ToolFuncs funcs;
  ToolConfigMap config_map;
  ToolDefaults defaults;
};

struct Session {
  ModelGateway& model;
  AnnData& adata;
  const std::string& data_context;
  const ToolMaps& tools;
  transaction_history& history;
  NotebookHost& host;
  long long max_retries;
  bool rem_router;  // the quiet switch: hides the routing record, turns verbose off
};

// Results of the flows, as the callers unpack them.

// (res_to_user, total_usage).
struct FlowResult {
  json res_to_user;
  long long total_usage = 0;
};

// (res_to_user, total_usage, selected_tx_id, user_request) of the follow-up flow.
struct RecurrentResult {
  json res_to_user;
  long long total_usage = 0;
  json selected_tx_id;  // as the selector answered it (text, integer or null)
  json user_request;
};

// (explanation, report document, total_usage).
struct ExplanationResult {
  json explanation;                   // text or null
  std::optional<std::string> report;  // .docx bytes, or none
  long long total_usage = 0;
};

// (genes, chosen pathway, total_usage).
struct PathwaySelection {
  std::vector<std::string> genes;
  std::string pathway;
  long long total_usage = 0;
};

struct ParameterOptions {
  json extra_overrides;  // mapping or null
  std::optional<std::string> extra_context;
};

}  // namespace norvex

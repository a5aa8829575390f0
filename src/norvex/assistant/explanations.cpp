// Explanations of tool results (with their images) and of general questions.
#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/tool_run.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/display/render.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/host/host.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::flows {

namespace {

json collect_images(const json& result_data) {
  json images = json::array();
  if (result_data.is_string()) {
    images.push_back(result_data);
  } else if (result_data.is_array() || result_data.is_object()) {
    for (auto& v : result_data)
      if (v.is_string()) images.push_back(v);
  }
  return images;
}

std::string as_text(const json& v) {
  return v.is_string() ? v.get<std::string>() : py_str(v);
}

}  // namespace

std::optional<LLMResult> explain_analysis_result(Session& s, const json& target_tool,
                                                 const json& ai_args, const json& result_data,
                                                 const json& user_query) {
  json images = collect_images(result_data);
  if (images.empty()) return std::nullopt;
  const std::string prompt = py_strip(detail::fill_template(prompts::explain_result_prompt(),
                                                            {{"data_context", s.data_context},
                                                             {"user_query", as_text(user_query)},
                                                             {"target_tool", as_text(target_tool)},
                                                             {"ai_args", py_str(ai_args)}}));
  NotebookHost& host = s.host;
  detail::Stopwatch watch;
  host.print("✅ Generating an explanation .. ", false);
  AskOptions opts;
  opts.schema = nullptr;
  opts.images_base64 = images;
  opts.extra_text_parts = nullptr;
  LLMResult out = s.model.ask_inner(prompt, opts);
  host.print("done (" + watch.seconds() + ", " + last_usage_text(out.usage) + ")");
  return out;
}

LLMResult explain_in_general_sense(Session& s, const json& user_query) {
  const std::string prompt = py_strip(detail::fill_template(
      prompts::explain_general_prompt(),
      {{"data_context", s.data_context}, {"user_query", as_text(user_query)}}));
  NotebookHost& host = s.host;
  detail::Stopwatch watch;
  host.print("✅ Generating an explanation .. ", false);
  LLMResult out = s.model.ask_inner(prompt, AskOptions{});
  host.print("done (" + watch.seconds() + ", " + last_usage_text(out.usage) + ")");
  return out;
}

ExplanationResult generate_and_display_explanation(Session& s, const json& user_query,
                                                   const json& target_function_name,
                                                   const json& ai_generated_args,
                                                   const json& plot_result, long long total_usage,
                                                   bool show) {
  ExplanationResult out;
  out.explanation = nullptr;
  out.total_usage = total_usage;
  NotebookHost& host = s.host;
  if (!plot_result.is_object()) {
    host.print("❌ ERROR: Contents not available.");
    return out;
  }
  if (!plot_result.contains("img_base64") || plot_result["img_base64"].is_null()) return out;
  const json& payload = plot_result["img_base64"];

  auto res =
      explain_analysis_result(s, target_function_name, ai_generated_args, payload, user_query);
  if (!res) return out;
  out.total_usage += usage_total(res->usage);
  if (res->content.is_null()) return out;
  out.explanation = res->content;

  const std::string title = as_text(user_query);
  if (show) render_vantu_explanation(s.host, out.explanation);
  std::vector<std::string> left_out;
  out.report = create_doc_with_style(out.explanation, payload, title, &left_out);
  show_warnings(host, left_out);
  if (show) {
    host.offer_download(document_download(*out.report, title + ".docx"));
    host.print(" ");
  }
  return out;
}

}  // namespace norvex::flows

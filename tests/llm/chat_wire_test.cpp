// The Chat Completions wire against the stub acting as a local server (llama.cpp-like: no
// key, /responses a 404): request shapes checked against the official OpenAPI description,
// replies of every kind a local server gives, the choice of wire, and whole conversations.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/host/recording_host.hpp"
#include "norvex/llm/client.hpp"
#include "norvex/llm/validation.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::StubModelServer;
using testing::StubProvider;
using testing::StubResponse;
using Kind = HostEvent::Kind;

const char* kLocalModel = "qwen2.5-7b-instruct";

const json& openapi_request_schema() {
  static const json schema = json::parse(testing::read_file(
      testing::source_dir() / "tests/support/openapi/create_chat_completion_request.json"));
  return schema;
}

// Every Chat Completions request the stub saw, each valid against the OpenAPI excerpt.
std::vector<json> valid_chat_requests(const StubModelServer& stub) {
  std::vector<json> bodies;
  for (const auto& r : stub.requests(StubProvider::ChatCompletions)) {
    EXPECT_NO_THROW(jsonschema_validate(r.json_body, openapi_request_schema())) << r.body;
    bodies.push_back(r.json_body);
  }
  return bodies;
}

template <class F>
ServiceError service_error(F&& f) {
  try {
    f();
  } catch (const ServiceError& e) {
    return e;
  }
  ADD_FAILURE() << "no ServiceError thrown";
  return ServiceError("none", "");
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(WireChoiceTest, AutoFollowsTheHostAndAnExplicitChoiceWins) {
  EXPECT_EQ(OpenAIClient("k", "https://api.openai.com/v1").wire(), OpenAIWire::Responses);
  EXPECT_EQ(OpenAIClient("k", "http://127.0.0.1:8080/v1").wire(), OpenAIWire::ChatCompletions);
  EXPECT_EQ(OpenAIClient("k", "https://llm.example.org/v1").wire(), OpenAIWire::ChatCompletions);
  EXPECT_EQ(OpenAIClient("k", "http://127.0.0.1:8080/v1", WireChoice::Responses).wire(),
            OpenAIWire::Responses);
  EXPECT_EQ(OpenAIClient("k", "https://api.openai.com/v1", WireChoice::ChatCompletions).wire(),
            OpenAIWire::ChatCompletions);

  EXPECT_EQ(parse_wire_choice("auto"), WireChoice::Auto);
  EXPECT_EQ(parse_wire_choice("responses"), WireChoice::Responses);
  EXPECT_EQ(parse_wire_choice("chat"), WireChoice::ChatCompletions);
  try {
    parse_wire_choice("Chat");
    ADD_FAILURE() << "accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "wire must be 'auto', 'responses' or 'chat', not 'Chat'");
  }

  for (const char* url :
       {"http://localhost:11434/v1", "http://127.0.0.1:8080", "http://[::1]:8000/v1",
        "http://127.4.5.6/v1", "http://user@127.0.0.1:80/v1", "HTTP://LOCALHOST/v1"})
    EXPECT_TRUE(is_loopback_url(url)) << url;
  for (const char* url : {"http://127.0.0.1.example.com/v1", "http://localhost.example.com/v1",
                          "http://10.0.0.1:8080/v1", "https://api.openai.com/v1",
                          "http://127.0.0/v1", "http://example.com/127.0.0.1"})
    EXPECT_FALSE(is_loopback_url(url)) << url;
  EXPECT_TRUE(is_openai_host_url("https://API.openai.com/v1"));
  EXPECT_FALSE(is_openai_host_url("https://api.openai.com.example.net/v1"));

  // Gemini models have their own API; a wire there would be silently ignored.
  AssistantOptions o;
  o.api_key = "k";
  o.model_to_use = "gemini-2.5-flash";
  o.adata = testing::tiny_dataset();
  o.wire = WireChoice::ChatCompletions;
  EXPECT_THROW(Assistant{o}, ValueError);
}

class ChatWireTest : public ::testing::Test {
 protected:
  ChatWireTest() { stub.set_chat_completions_only(true); }

  std::unique_ptr<Assistant> make(std::optional<std::string> key = std::string()) {
    AssistantOptions o;
    o.host = &host;
    o.api_key = std::move(key);  // "" as the chat command passes when there is none
    o.model_to_use = kLocalModel;
    o.adata = testing::tiny_dataset();
    o.base_url = stub.base_url() + "/v1";
    ToolFunction f;
    f.fn = [this](AnnData&, const json&) { return tool_result; };
    f.param_names = {"n_top", "show"};
    f.param_defaults = {{"n_top", 5}};
    ToolFuncs funcs;
    funcs["plot_umap"] = f;
    ToolConfigMap cfg;
    cfg["plot_umap"] = ToolConfigEntry{};
    o.tool_funcs = funcs;
    o.tool_config_map = cfg;
    auto a = std::make_unique<Assistant>(o);
    a->configured("client").client->set_sleeper([this](double s) { waits.push_back(s); });
    host.clear();
    return a;
  }
  void reply(const json& value, int in = 10, int out = 5) {
    stub.enqueue_chat_text(value.is_string() ? value.get<std::string>() : dump_json(value), in,
                           out);
  }

  StubModelServer stub;
  RecordingHost host;
  ScopedHost scope{host};
  json tool_result;
  std::vector<double> waits;
};

TEST_F(ChatWireTest, RequestIsSystemThenUserWithImagePartsAndNoAuthorizationWithoutKey) {
  auto a = make();
  reply("  An answer.  ", 12, 3);
  AskOptions o;
  o.system_message = "You explain.";
  o.data_context = "\n\n[DATA CONTEXT]\n4 cells";
  o.images_base64 = json::array({"iVBORw0KGgo=", " data:image/jpeg;base64,/9j/4AAQ "});
  o.extra_text_parts = json::array({"first extra", "  ", nullptr});
  LLMResult r = a->ask_inner("  What is this?  ", o);
  EXPECT_EQ(r.content, "An answer.");
  EXPECT_EQ(r.usage, (json{{"input_tokens", 12}, {"output_tokens", 3}, {"total_tokens", 15}}));
  EXPECT_EQ(r.provider, "openai");
  EXPECT_EQ(r.model, kLocalModel);

  auto reqs = stub.requests(StubProvider::ChatCompletions);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].path, "/v1/chat/completions");
  EXPECT_EQ(reqs[0].headers.count("authorization"), 0u);
  const json body = valid_chat_requests(stub).at(0);
  EXPECT_EQ(body["model"], kLocalModel);
  EXPECT_EQ(body["temperature"], 0);
  EXPECT_FALSE(body.contains("response_format"));
  EXPECT_EQ(body["messages"][0],
            (json{{"role", "system"}, {"content", "You explain.\n\n[DATA CONTEXT]\n4 cells"}}));
  EXPECT_EQ(body["messages"][1]["role"], "user");
  EXPECT_EQ(
      body["messages"][1]["content"],
      (json::array(
          {{{"type", "text"}, {"text", "What is this?\n\nfirst extra"}},
           {{"type", "image_url"}, {"image_url", {{"url", "data:image/png;base64,iVBORw0KGgo="}}}},
           {{"type", "image_url"}, {"image_url", {{"url", "data:image/jpeg;base64,/9j/4AAQ"}}}}})));

  // Without images the user content is plain text; a given key is sent as usual.
  auto keyed = make("sk-local-0123456789");
  reply("ok");
  keyed->ask_inner("q");
  reqs = stub.requests(StubProvider::ChatCompletions);
  EXPECT_EQ(reqs.back().header("authorization"), "Bearer sk-local-0123456789");
  EXPECT_EQ(reqs.back().json_body["messages"],
            (json::array({{{"role", "user"}, {"content", "q"}}})));
  valid_chat_requests(stub);
}

TEST_F(ChatWireTest, SchemaCallSendsTheNestedResponseFormatAndRepairsAFencedWrongAnswer) {
  auto a = make();
  const json schema = {{"type", "object"},
                       {"title", "plan"},
                       {"properties", {{"n", {{"type", "integer"}}}}},
                       {"required", {"n"}}};
  reply("```json\n{\"n\": \"two\"}\n```", 100, 10);
  reply("{\"n\": 2}", 120, 5);
  JsonCallOptions o;
  o.schema = schema;
  o.max_retries = 1;
  LLMResult r = a->json_enforced_call("how many?", o);
  EXPECT_EQ(r.content, (json{{"n", 2}}));
  EXPECT_EQ(r.raw, (json{{"attempts", 2}}));
  EXPECT_EQ(r.usage, (json{{"input_tokens", 220}, {"output_tokens", 15}, {"total_tokens", 235}}));

  const auto bodies = valid_chat_requests(stub);
  ASSERT_EQ(bodies.size(), 2u);
  for (const json& b : bodies) {
    EXPECT_EQ(b["response_format"],
              (json{{"type", "json_schema"},
                    {"json_schema", {{"name", "plan"}, {"strict", true}, {"schema", schema}}}}));
  }
  // The fence was taken off before the answer was judged, so the repair quotes the JSON.
  const std::string repair = bodies[1]["messages"][1]["content"];
  EXPECT_EQ(repair.rfind("Your previous output did not conform to the schema.", 0), 0u);
  EXPECT_TRUE(contains(repair, "[YOUR_PREVIOUS_OUTPUT]\n{\"n\": \"two\"}\n\nNow regenerate"));
  EXPECT_TRUE(contains(bodies[0]["messages"][0]["content"], "=== OUTPUT CONTRACT"));

  // A title the service would refuse as a name is not used.
  json untitled = schema;
  untitled["title"] = "a plan!";
  reply("{\"n\": 1}");
  o.schema = untitled;
  a->json_enforced_call("q", o);
  EXPECT_EQ(valid_chat_requests(stub).back()["response_format"]["json_schema"]["name"],
            "norvex_output");
}

TEST_F(ChatWireTest, RepliesOfEveryShapeGiveTextUsageOrAClearError) {
  auto a = make();
  // Under a schema a fenced answer is unwrapped and parsed; plain text keeps its fences.
  reply("```json\n{\"a\": [1, 2]}\n```");
  EXPECT_EQ(a->ask_inner("q", AskOptions{.schema = json{{"type", "object"}}}).content,
            (json{{"a", {1, 2}}}));
  reply("```python\nprint(1)\n```");
  EXPECT_EQ(a->ask_inner("q").content, "```python\nprint(1)\n```");
  // A fence never closed is no fence to take off: the JSON inside is found whole.
  reply("```json\n{\"a\": 1}");
  JsonCallOptions unclosed;
  unclosed.schema = {{"type", "object"}};
  unclosed.max_retries = 0;
  EXPECT_EQ(a->json_enforced_call("q", unclosed).content, (json{{"a", 1}}));

  // No usage at all counts as zero.
  json no_usage = StubModelServer::chat_response("fine");
  no_usage.erase("usage");
  stub.enqueue(StubProvider::ChatCompletions, StubResponse::of_json(no_usage));
  LLMResult r = a->ask_inner("q");
  EXPECT_EQ(r.content, "fine");
  EXPECT_EQ(r.usage, (json{{"input_tokens", 0}, {"output_tokens", 0}, {"total_tokens", 0}}));

  // Cut off at the length limit: an error that says so, the tokens still counted.
  stub.enqueue(StubProvider::ChatCompletions, StubResponse::of_json(StubModelServer::chat_response(
                                                  "{\"a\": [1,", 50, 400, std::nullopt, "length")));
  ServiceError e = service_error([&] { a->ask_inner("q"); });
  EXPECT_STREQ(e.type_name(), "LengthFinishReasonError");
  EXPECT_TRUE(contains(e.what(), "finish_reason \"length\"")) << e.what();

  // Null content is empty text; no choice at all is an error, never a crash.
  stub.enqueue(StubProvider::ChatCompletions,
               StubResponse::of_json({{"choices", json::array({{{"index", 0},
                                                                {"message", {{"content", nullptr}}},
                                                                {"finish_reason", "stop"}}})}}));
  EXPECT_EQ(a->ask_inner("q").content, "");
  stub.enqueue(StubProvider::ChatCompletions, StubResponse::of_json({{"choices", json::array()}}));
  EXPECT_STREQ(service_error([&] { a->ask_inner("q"); }).type_name(), "APIResponseValidationError");
  stub.enqueue(StubProvider::ChatCompletions, StubResponse::of_json(json::array({1, 2})));
  EXPECT_STREQ(service_error([&] { a->ask_inner("q"); }).type_name(), "APIResponseValidationError");

  const auto tallies = a->usage_ledger->tallies();
  ASSERT_EQ(tallies.size(), 1u);
  EXPECT_EQ(tallies[0].second.calls, 8);  // every answered call, the cut-off one included
  EXPECT_EQ(tallies[0].second.output_tokens, 5 + 5 + 5 + 0 + 400);
}

TEST_F(ChatWireTest, NotFoundNamesTheOtherWireAndServerErrorsAreRetried) {
  // This stub has no /responses, as several local servers: the message points at --wire chat.
  OpenAIClient responses("", stub.base_url() + "/v1", WireChoice::Responses);
  ServiceError e = service_error([&] { responses.create_response({{"model", kLocalModel}}); });
  EXPECT_STREQ(e.type_name(), "NotFoundError");
  EXPECT_EQ(e.status(), 404);
  EXPECT_TRUE(contains(e.what(), "Error code: 404 - File Not Found (the server at "));
  EXPECT_TRUE(contains(e.what(), "does not speak the Responses API"));
  EXPECT_TRUE(contains(e.what(), "use --wire chat, wire=\"chat\" in Python)")) << e.what();

  // A server without /chat/completions: the message points at --wire responses.
  StubModelServer plain;
  plain.enqueue(StubProvider::OpenAI, StubResponse::of_json({{"detail", "Not Found"}}, 404));
  OpenAIClient chat("", plain.base_url() + "/v1", WireChoice::ChatCompletions);
  e = service_error([&] { chat.create_chat_completion({{"model", kLocalModel}}); });
  EXPECT_TRUE(contains(e.what(), "does not speak the Chat Completions API"));
  EXPECT_TRUE(contains(e.what(), "use --wire responses, wire=\"responses\" in Python)"));
  // An unknown model is a 404 that explains itself.
  plain.enqueue(
      StubProvider::OpenAI,
      StubResponse::of_json(
          {{"error", {{"message", "The model `x` does not exist"}, {"code", "model_not_found"}}}},
          404));
  e = service_error([&] { chat.create_chat_completion({{"model", "x"}}); });
  EXPECT_STREQ(e.what(), "Error code: 404 - The model `x` does not exist");

  // 5xx: the same retries as the Responses wire, then the answer.
  auto a = make();
  stub.enqueue(StubProvider::ChatCompletions, StubResponse::of_raw("busy", 503));
  stub.enqueue(StubProvider::ChatCompletions, StubResponse::of_raw("busy", 502));
  reply("third time");
  EXPECT_EQ(a->ask_inner("q").content, "third time");
  EXPECT_EQ(stub.requests(StubProvider::ChatCompletions).size(), 3u);
  EXPECT_EQ(waits.size(), 2u);
  for (int i = 0; i < 3; ++i)
    stub.enqueue(StubProvider::ChatCompletions, StubResponse::of_raw("down", 500));
  e = service_error([&] { a->ask_inner("q"); });
  EXPECT_STREQ(e.type_name(), "InternalServerError");
  EXPECT_STREQ(e.what(), "Error code: 500 - down");
}

TEST_F(ChatWireTest, RetryAfterIsWaitedForUpToAMinuteAndSaidOtherwiseGivenUpOnAtOnce) {
  auto a = make();
  stub.enqueue(StubProvider::ChatCompletions,
               StubResponse::of_json({{"error", {{"message", "slow down"}}}}, 429)
                   .with_header("Retry-After", "30"));
  reply("after the wait");
  EXPECT_EQ(a->ask_inner("q").content, "after the wait");
  EXPECT_EQ(waits, (std::vector<double>{30.0}));
  EXPECT_TRUE(contains(host.console(),
                       "ℹ️ INFO: The model service asks to wait 30 s before trying again (HTTP "
                       "429); waiting.\n"))
      << host.console();

  // An hour: no retry at once (x-should-retry notwithstanding), and the wait is named.
  waits.clear();
  stub.enqueue(StubProvider::ChatCompletions,
               StubResponse::of_json({{"error", {{"message", "quota"}}}}, 429)
                   .with_header("Retry-After", "3600")
                   .with_header("x-should-retry", "true"));
  ServiceError e = service_error([&] { a->ask_inner("q"); });
  EXPECT_STREQ(e.type_name(), "RateLimitError");
  EXPECT_STREQ(e.what(),
               "Error code: 429 - quota (the service asks to wait 3600 s before trying again, "
               "longer than norvex waits (60 s); try again later)");
  EXPECT_TRUE(waits.empty());
  EXPECT_EQ(stub.requests(StubProvider::ChatCompletions).size(), 3u);
}

// A stop check that fires once `stop` is set (from another thread, as a stop button would).
struct StopButton {
  std::atomic<bool> pressed{false};
  std::function<void()> previous = set_interrupt_check([this] {
    if (pressed) throw Interrupted{};
  });
  ~StopButton() { set_interrupt_check(previous); }
};

TEST_F(ChatWireTest, TheStopButtonEndsAHangingCallAndAWaitForTheServer) {
  auto a = make();
  a->configured("client").client->timeouts().total_seconds = 300;
  stub.enqueue(StubProvider::ChatCompletions, StubResponse::hanging());
  {
    StopButton stop;
    std::thread presser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      stop.pressed = true;
    });
    EXPECT_THROW(a->ask_inner("q"), Interrupted);
    presser.join();
  }
  EXPECT_EQ(stub.requests(StubProvider::ChatCompletions).size(), 1u);

  // The default sleeper listens too, so a server's 30 s wait does not hold the stop.
  a->configured("client").client->set_sleeper(nullptr);
  stub.enqueue(StubProvider::ChatCompletions,
               StubResponse::of_json({}, 429).with_header("Retry-After", "30"));
  StopButton stop;
  std::thread presser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.pressed = true;
  });
  EXPECT_THROW(a->ask_inner("q"), Interrupted);
  presser.join();
  EXPECT_EQ(stub.requests(StubProvider::ChatCompletions).size(), 2u);
}

// Routing, a fresh tool run, its explanation with the image, and a follow-up, all over
// Chat Completions to a keyless local server.
TEST_F(ChatWireTest, ConversationRoutesRunsExplainsAndFollowsUp) {
  tool_result = {{"img_base64", testing::make_png_b64(40, 30)}, {"data", "gene"}};
  auto a = make();
  reply(testing::router_record({{"plot", true}, {"explain_data", true}},
                               {{"selected_tool", "plot_umap"}, {"plot_type_to_draw", "umap"}}),
        300, 40);
  reply(json::object(), 200, 10);
  reply("The T cells cluster apart.", 500, 30);
  json out = a->ask("Draw the UMAP and explain it");
  ASSERT_TRUE(out.is_object()) << host.console();
  EXPECT_EQ(out["plot_func"], "plot_umap");
  EXPECT_EQ(out["explanation"], "The T cells cluster apart.");
  ASSERT_EQ(a->t_hist.len(), 1u);

  reply(testing::router_record({{"plot", true}, {"recurrent_query", true}},
                               {{"reference_plot_type", "umap"}}));
  reply(json{{"user_request",
              {{"rerun_with_changes", false},
               {"render_plot", true},
               {"render_table", false},
               {"render_code", false},
               {"render_args", false},
               {"explain", false},
               {"explain_more_detail", false},
               {"save", false}}},
             {"selected_tx_id", "0"},
             {"confidence", 0.9},
             {"need_new_compute", false},
             {"user_warning", ""}});
  host.clear();
  a->ask("show that plot again");
  EXPECT_EQ(host.of_kind(Kind::Image).size(), 1u) << host.console();

  const auto bodies = valid_chat_requests(stub);
  ASSERT_EQ(bodies.size(), 5u);
  for (const auto& r : stub.requests()) EXPECT_EQ(r.headers.count("authorization"), 0u);
  for (size_t i : {0, 1, 3, 4}) EXPECT_TRUE(bodies[i].contains("response_format")) << i;
  // The explanation carries the plot as an image part and asks for no schema.
  EXPECT_FALSE(bodies[2].contains("response_format"));
  const json& parts = bodies[2]["messages"].back()["content"];
  ASSERT_TRUE(parts.is_array());
  EXPECT_EQ(parts[1]["type"], "image_url");
  EXPECT_EQ(parts[1]["image_url"]["url"].get<std::string>().rfind("data:image/png;base64,", 0), 0u);

  // The independent check: Python's jsonschema over the same requests.
  if (testing::oracle_python_available()) {
    testing::TempDir dir;
    testing::write_file(dir / "requests.json", json(bodies).dump());
    auto check = testing::run_oracle_python(
        "import json, sys, jsonschema\n"
        "schema = json.load(open(sys.argv[1]))\n"
        "for body in json.load(open(sys.argv[2])):\n"
        "    jsonschema.validate(body, schema)\n"
        "print('valid')\n",
        testing::shell_quote(
            (testing::source_dir() / "tests/support/openapi/create_chat_completion_request.json")
                .string()) +
            " " + testing::shell_quote((dir / "requests.json").string()));
    EXPECT_EQ(check.exit_code, 0) << check.err;
    EXPECT_EQ(check.out, "valid\n");
  }

  const auto lines = a->usage_ledger->summary_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], std::string("   ") + kLocalModel +
                          ": 5 calls, 1020 input (0 cached), 90 output, 1110 total · no price "
                          "known");
}

// The command line as a researcher runs it against a local server: no key, three
// questions, then :usage.
TEST(ChatCommandLineTest, LocalModelWithoutKeyHoldsAConversationAndReportsUsage) {
  StubModelServer stub;
  stub.set_chat_completions_only(true);
  testing::TempDir dir;
  testing::tiny_dataset()->write_h5ad((dir / "data.h5ad").string());
  for (const char* answer : {"4 cells", "3 genes", "two conditions"}) {
    stub.enqueue_chat_text(
        dump_json(testing::router_record({{"info", true}}, {{"info_answer", answer}})), 900, 60);
  }
  auto r = testing::run_command(
      "env -u OPENAI_API_KEY " + testing::shell_quote(testing::norvex_binary().string()) +
          " chat --data " + testing::shell_quote((dir / "data.h5ad").string()) + " --model " +
          kLocalModel + " --base-url " + stub.base_url() + "/v1 --out " +
          testing::shell_quote((dir / "out").string()),
      "How many cells?\nHow many genes?\nWhich conditions?\n:usage\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.out,
                       "ℹ️ INFO: Tokens and estimated cost this session (prices of "
                       "2025-08-15):\n   qwen2.5-7b-instruct: 3 calls, 2700 input (0 "
                       "cached), 180 output, 2880 total · no price known\n"))
      << r.out;
  EXPECT_EQ(stub.requests(StubProvider::ChatCompletions).size(), 3u);
  for (const auto& req : stub.requests()) EXPECT_EQ(req.headers.count("authorization"), 0u);
  valid_chat_requests(stub);
}

}  // namespace
}  // namespace norvex

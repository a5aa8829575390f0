#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/host/recording_host.hpp"
#include "norvex/llm/json_helpers.hpp"
#include "norvex/llm/usage.hpp"
#include "support/stub_model_server.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::StubModelServer;
using testing::StubProvider;

const json kSchema = {{"type", "object"},
                      {"properties",
                       {{"name", {{"type", "string"}}},
                        {"count", {{"type", "integer"}, {"maximum", 10}}},
                        {"tags", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                        {"note", {{"type", "string"}}}}},
                      {"required", {"name", "count", "tags"}}};

const std::string kRepairHead =
    "Your previous output did not conform to the schema.\n\n[VALIDATION_ERROR]\n";
const std::string kRepairTail =
    "\n\nNow regenerate ONLY the corrected JSON that conforms EXACTLY to the schema. No "
    "markdown, no extra keys.";

class JsonCallTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    AssistantOptions o;
    o.host = &host;
    o.api_key = "test-key-0123456789";
    o.model_to_use = GetParam();
    o.adata = testing::tiny_dataset();
    o.base_url = stub.base_url();
    // The shapes these cases check (Gemini models have no wire to choose).
    if (o.model_to_use.rfind("gemini", 0) != 0) o.wire = WireChoice::Responses;
    assistant = std::make_unique<Assistant>(o);
  }
  bool gemini() const { return GetParam().rfind("gemini", 0) == 0; }
  StubProvider provider() const { return gemini() ? StubProvider::Gemini : StubProvider::OpenAI; }
  void answer(const std::string& text, int in = 10, int out = 5) {
    if (gemini()) {
      stub.enqueue_gemini_text(text, in, out);
    } else {
      stub.enqueue_openai_text(text, in, out);
    }
  }
  // The role every attempt carries: system message, contract, schema, data context.
  std::string expected_role() const {
    return py_strip(
        "Plan things.\n\n=== OUTPUT CONTRACT (VERY IMPORTANT) ===\nYou MUST return ONLY valid "
        "JSON.\nDo NOT include markdown, explanations, or extra keys.\nThe JSON must conform "
        "EXACTLY to the provided JSON schema.\nIf you cannot comply, internally fix your output "
        "and return only corrected JSON.\n=== END CONTRACT ===\nJSON_SCHEMA:\n" +
        py_json_dumps(kSchema) + "\n" + assistant->config->data_context);
  }
  // The user text of request i, after checking that the role went before it.
  std::string sent(size_t i) {
    const json body = stub.requests(provider()).at(i).json_body;
    const std::string text = gemini() ? body["contents"][0]["parts"][0]["text"].get<std::string>()
                                      : body["input"][0]["content"][0]["text"].get<std::string>();
    const std::string head =
        gemini() ? expected_role() + "\n\n" : "[ROLE]\n" + expected_role() + "\n\n[USER]\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    return text.size() >= head.size() ? text.substr(head.size()) : "";
  }
  JsonCallOptions options(long long retries = 1) {
    JsonCallOptions o;
    o.schema = kSchema;
    o.system_message = "Plan things.";
    o.data_context = assistant->config->data_context;
    o.max_retries = retries;
    return o;
  }

  StubModelServer stub;
  RecordingHost host;
  ScopedHost scope{host};
  std::unique_ptr<Assistant> assistant;
};

TEST_P(JsonCallTest, FencedAnswerWithProseSucceedsAtOnceAndStatesTheContract) {
  answer(
      "Sure!\n```json\n{\"name\": \"x\", \"count\": 3, \"tags\": [\"a\"], \"note\": "
      "null}\n```\nBye");
  LLMResult r = assistant->json_enforced_call("make a plan", options());
  EXPECT_EQ(r.content, (json{{"name", "x"}, {"count", 3}, {"tags", {"a"}}}));
  EXPECT_EQ(r.raw, (json{{"attempts", 1}}));
  EXPECT_EQ(r.usage, (json{{"input_tokens", 10}, {"output_tokens", 5}, {"total_tokens", 15}}));
  EXPECT_EQ(r.provider, gemini() ? "gemini" : "openai");
  EXPECT_EQ(r.model, GetParam());
  EXPECT_EQ(sent(0), "make a plan");
  // The provider call itself carries no schema.
  EXPECT_FALSE(stub.requests()[0].json_body.contains("generationConfig"));
}

TEST_P(JsonCallTest, MissingRequiredArrayIsFilledBeforeValidation) {
  answer("{\"name\": \"x\", \"count\": 1}");
  LLMResult r = assistant->json_enforced_call("q", options());
  EXPECT_EQ(r.content, (json{{"name", "x"}, {"count", 1}, {"tags", json::array()}}));
  EXPECT_EQ(r.raw["attempts"], 1);
}

TEST_P(JsonCallTest, AbsurdUsageFromTheServiceSaturatesInTheSum) {
  const long long max = std::numeric_limits<long long>::max();
  for (const char* text : {"not json at all", "{\"name\": \"x\", \"count\": 3, \"tags\": []}"}) {
    json body =
        gemini() ? StubModelServer::gemini_response(text) : StubModelServer::openai_response(text);
    if (gemini()) {
      body["usageMetadata"] = {{"promptTokenCount", max}, {"candidatesTokenCount", max}};
    } else {
      body["usage"] = {{"input_tokens", max}, {"output_tokens", max}};
    }
    stub.enqueue(provider(), testing::StubResponse::of_json(body));
  }
  LLMResult r = assistant->json_enforced_call("q", options());
  EXPECT_EQ(r.raw["attempts"], 2);
  EXPECT_EQ(r.usage, (json{{"input_tokens", kMaxTokenCount},
                           {"output_tokens", kMaxTokenCount},
                           {"total_tokens", kMaxTokenCount}}));
}

TEST_P(JsonCallTest, WrongTypeLeadsToARepairPromptAndSummedUsage) {
  const std::string bad = "{\"name\": \"x\", \"count\": \"three\", \"tags\": []}";
  answer("  " + bad + "  ", 100, 20);
  answer("{\"name\": \"x\", \"count\": 3, \"tags\": []}", 150, 10);
  LLMResult r = assistant->json_enforced_call("original question", options());
  EXPECT_EQ(r.raw, (json{{"attempts", 2}}));
  EXPECT_EQ(r.usage, (json{{"input_tokens", 250}, {"output_tokens", 30}, {"total_tokens", 280}}));
  const std::string user2 = sent(1);
  EXPECT_EQ(user2.rfind(kRepairHead + "ValidationError: 'three' is not of type 'integer'\n\nFailed "
                                      "validating 'type' in schema['properties']['count']",
                        0),
            0u)
      << user2;
  EXPECT_EQ(user2.substr(user2.size() - kRepairTail.size()), kRepairTail);
  EXPECT_NE(user2.find("\n\n[YOUR_PREVIOUS_OUTPUT]\n" + bad + kRepairTail), std::string::npos);
  EXPECT_EQ(user2.find("original question"), std::string::npos);
  EXPECT_EQ(sent(0), "original question");  // same role in both attempts, checked by sent()
}

TEST_P(JsonCallTest, NullAnswerAndNonObjectsNeverSucceed) {
  answer("null");
  answer("[1, 2]");
  try {
    assistant->json_enforced_call("q", options(1));
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(
        std::string(e.what()),
        "Failed to produce schema-valid JSON after retries. Last error: TypeError: "
        "_ensure_required_defaults() argument 'data' must be dict, not list\nLast output: [1, 2]");
  }
  // The JSON null left no error behind: the first repair prompt names none.
  EXPECT_EQ(sent(1).rfind(
                kRepairHead + "NoneType: None\n\n[YOUR_PREVIOUS_OUTPUT]\nnull" + kRepairTail, 0),
            0u);
}

TEST_P(JsonCallTest, RetryBudgetIsExactAndTheFinalErrorIsBounded) {
  answer("not json at all");
  EXPECT_THROW(assistant->json_enforced_call("q", options(0)), RuntimeError);
  EXPECT_EQ(stub.request_count(), 1u);

  stub.clear();
  const std::string long_bad = std::string(2000, 'z') + "é" + std::string(2000, 'y');
  answer("{oops");
  answer(long_bad);
  try {
    assistant->json_enforced_call("q", options(1));
    FAIL();
  } catch (const RuntimeError& e) {
    const std::string m = e.what();
    EXPECT_EQ(m.rfind("Failed to produce schema-valid JSON after retries. Last error: "
                      "JSONDecodeError: Expecting value: line 1 column 1 (char 0)\nLast output: ",
                      0),
              0u);
    EXPECT_EQ(m.substr(m.find("Last output: ") + 13), std::string(800, 'z'));
  }
  EXPECT_EQ(stub.request_count(), 2u);

  stub.clear();
  EXPECT_THROW(assistant->json_enforced_call("q", JsonCallOptions{}), TypeError);  // no schema
  EXPECT_THROW(assistant->json_enforced_call("q", options(-1)), RuntimeError);
  EXPECT_EQ(stub.request_count(), 0u);
}

TEST_P(JsonCallTest, ServiceErrorsEndTheCallAtOnce) {
  if (gemini()) {
    stub.enqueue(StubProvider::Gemini, testing::StubResponse::of_raw("denied", 403));
  } else {
    stub.enqueue(StubProvider::OpenAI, testing::StubResponse::of_raw("denied", 403));
  }
  EXPECT_THROW(assistant->json_enforced_call("q", options(3)), ServiceError);
  EXPECT_EQ(stub.request_count(), 1u);
}

TEST_P(JsonCallTest, AdversarialAnswersNeverCrashOrExceedTheBudget) {
  std::mt19937 rng(99);
  const std::vector<std::string> hostile = {
      std::string(100000, '{'),
      std::string(3000, '[') + std::string(3000, ']'),
      "{\"name\": \"" + std::string(1 << 20, 'x') + "\", \"count\": 1, \"tags\": []}",
      "{\"name\": \"\xff\xfe\", \"count\": 1}",
      "}}}{{{",
      "```\n```",
      "{\"name\": \"x\", \"count\": 1e400, \"tags\": []}",
      "{\"name\": \"x\", \"count\": 11, \"tags\": [null]}",
      "{\"name\": null, \"count\": 1, \"tags\": {}}",
      "",
  };
  const std::string alphabet = "{}[]\":,0123 abnulx\n`";
  int successes = 0;
  for (int i = 0; i < 60; ++i) {
    stub.clear();
    const long long retries = i % 3;
    for (long long k = 0; k <= retries + 1; ++k) {
      std::string s;
      if ((i + k) % 2 == 0) {
        s = hostile[(i + k) % hostile.size()];
      } else {
        for (int c = 0; c < 40; ++c) s += alphabet[rng() % alphabet.size()];
      }
      answer(s);
    }
    try {
      assistant->json_enforced_call("q", options(retries));
      ++successes;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(
          std::string(e.what()).rfind("Failed to produce schema-valid JSON after retries.", 0), 0u);
    }
    EXPECT_LE(stub.request_count(), static_cast<size_t>(retries + 1));
  }
  EXPECT_LT(successes, 60);
}

INSTANTIATE_TEST_SUITE_P(Providers, JsonCallTest, ::testing::Values("gemini-2.5-flash", "gpt-5"),
                         [](const auto& info) {
                           return info.param.substr(0, 3) == "gem" ? std::string("Gemini")
                                                                   : std::string("OpenAI");
                         });

}  // namespace
}  // namespace norvex

#include <gtest/gtest.h>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/stub_model_server.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::StubModelServer;
using testing::StubProvider;
using testing::StubResponse;

const char* kKey = "test-key-0123456789abcdef";

AskOptions with_schema(const json& schema) {
  AskOptions o;
  o.schema = schema;
  return o;
}
AskOptions with_images(const json& images) {
  AskOptions o;
  o.images_base64 = images;
  return o;
}

class ModelCallTest : public ::testing::Test {
 protected:
  Assistant make(const std::string& model) {
    AssistantOptions o;
    o.host = &host;
    o.api_key = kKey;
    o.model_to_use = model;
    o.adata = testing::tiny_dataset();
    o.base_url = stub.base_url();
    // The shapes these cases check (Gemini models have no wire to choose).
    if (model.rfind("gemini", 0) != 0) o.wire = WireChoice::Responses;
    Assistant a(o);
    return a;
  }
  json only_request(StubProvider p) {
    auto reqs = stub.requests(p);
    EXPECT_EQ(reqs.size(), 1u);
    return reqs.empty() ? json() : reqs.back().json_body;
  }
  StubModelServer stub;
  RecordingHost host;
  ScopedHost scope{host};
};

TEST_F(ModelCallTest, RoleAndPromptAssembly) {
  Assistant a = make("gpt-5");
  EXPECT_EQ(a.combine_role("  system:", "\n\n[DATA CONTEXT]\nx  "), "system:\n\n[DATA CONTEXT]\nx");
  EXPECT_EQ(a.combine_role(nullptr, " "), "");
  EXPECT_THROW(a.combine_role(5, ""), TypeError);
  EXPECT_EQ(a.build_prompt("  q  ", ""), "q");
  EXPECT_EQ(a.build_prompt(" q", " role \n"), "role\n\nq");
  EXPECT_EQ(a.build_prompt(nullptr, "r"), "r\n\n");
}

TEST_F(ModelCallTest, ImageAndTextPartNormalisation) {
  Assistant a = make("gpt-5");
  EXPECT_EQ(a.normalize_images(json::array({"", " data:image/png;base64,QUJD ", "REVG"})),
            (json{"QUJD", "REVG"}));
  EXPECT_TRUE(a.normalize_images(json::array()).is_null());
  EXPECT_TRUE(a.normalize_images(json::array({"", nullptr})).is_null());
  EXPECT_EQ(a.normalize_images(json::array({"   "})), (json{""}));
  EXPECT_EQ(a.normalize_images(json::array({"data:image/png,raw"})), (json{"data:image/png,raw"}));
  EXPECT_EQ(a.normalize_images("QUJD"), (json{"QUJD"}));  // one image, not its characters
  EXPECT_EQ(a.normalize_text_parts(""), (json{""}));
  EXPECT_EQ(a.normalize_text_parts(json::array({nullptr, 3, "t"})), (json{"3", "t"}));
  EXPECT_TRUE(a.normalize_text_parts(json::array({nullptr})).is_null());
}

TEST_F(ModelCallTest, GeminiRequestCarriesRoleQueryExtrasAndInlineImages) {
  Assistant a = make("gemini-2.5-flash");
  stub.enqueue_gemini_text("the answer", 10, 5);
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "pixels";
  AskOptions o;
  o.system_message = "  You are a helper.";
  o.data_context = "\n\n[DATA CONTEXT]\nctx\n";
  o.extra_text_parts = json::array({"first extra", "", "   ", nullptr, 42});
  o.images_base64 = json::array({"data:image/png;base64," + base64_encode(png), "", "   "});
  o.image_mime = "image/jpeg";
  LLMResult r = a.ask_inner("  What is this?  ", o);
  EXPECT_EQ(r.content, "the answer");
  EXPECT_EQ(r.usage, (json{{"input_tokens", 10}, {"output_tokens", 5}, {"total_tokens", 15}}));
  EXPECT_EQ(r.provider, "gemini");
  EXPECT_EQ(r.model, "gemini-2.5-flash");
  EXPECT_EQ(r.raw["modelVersion"], "stub");
  const json expected = {
      {"contents",
       json::array(
           {{{"role", "user"},
             {"parts",
              json::array({{{"text", "You are a helper.\n\n[DATA CONTEXT]\nctx\n\nWhat is this?"}},
                           {{"text", "first extra"}},
                           {{"text", "42"}},
                           {{"inlineData",
                             {{"mimeType", "image/jpeg"}, {"data", base64_encode(png)}}}}})}}})}};
  EXPECT_EQ(only_request(StubProvider::Gemini), expected);
  EXPECT_EQ(stub.requests()[0].path, "/v1beta/models/gemini-2.5-flash:generateContent");
}

TEST_F(ModelCallTest, GeminiSchemaAsksForJsonButKeepsTheText) {
  Assistant a = make("gemini-2.5-pro");
  stub.enqueue_gemini_text("{\"a\": 1}");
  const json schema = {{"type", "object"}, {"properties", {{"a", {{"type", "integer"}}}}}};
  LLMResult r = a.ask_inner("q", with_schema(schema));
  EXPECT_EQ(r.content, "{\"a\": 1}");
  EXPECT_EQ(only_request(StubProvider::Gemini)["generationConfig"],
            (json{{"responseMimeType", "application/json"}, {"responseSchema", schema}}));
}

TEST_F(ModelCallTest, GeminiFailureIsReportedThenRaisedUnchanged) {
  Assistant a = make("gemini-2.5-flash");
  stub.enqueue(
      StubProvider::Gemini,
      StubResponse::of_json(
          {{"error", {{"code", 400}, {"message", "bad schema"}, {"status", "INVALID_ARGUMENT"}}}},
          400));
  const json schema = {{"type", "object"}, {"properties", json::object()}};
  try {
    a.ask_inner("q", with_schema(schema));
    FAIL() << "no error";
  } catch (const ServiceError& e) {
    EXPECT_STREQ(e.type_name(), "ClientError");
  }
  EXPECT_EQ(host.console(),
            "❌ _ask_gemini error: ClientError 400 INVALID_ARGUMENT. bad schema\n"
            "---- schema keys ----\n['type', 'properties']\n---- resp.text (if any) ----\n");
  auto errors = host.of_kind(HostEvent::Kind::Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].text.find("ClientError: 400 INVALID_ARGUMENT. bad schema"),
            std::string::npos);
  EXPECT_EQ(host.console().find(kKey), std::string::npos);

  // A payload that is not base64 fails before the request, without a report.
  host.clear();
  EXPECT_THROW(a.ask_inner("q", with_images(json::array({"%%%"}))), ValueError);
  EXPECT_EQ(host.console(), "");
  // An answer without text falls back to the whole response as text.
  stub.enqueue(StubProvider::Gemini, StubResponse::of_json({{"candidates", json::array()}}));
  EXPECT_EQ(a.ask_inner("q").content, "{\"candidates\":[]}");
}

TEST_F(ModelCallTest, OpenAIRequestIsOneInputTextWithDataUrlImages) {
  Assistant a = make("gpt-5");
  stub.enqueue_openai_text("  answer  ", 4, 6);
  AskOptions o;
  o.system_message = "SYS";
  o.data_context = "\n\n[DATA CONTEXT]\nctx";
  o.extra_text_parts = json::array({"extra one", nullptr});
  o.images_base64 = json::array({"QUJD", "data:image/gif;base64,R0lG", ""});
  LLMResult r = a.ask_inner(" q ", o);
  EXPECT_EQ(r.content, "answer");
  EXPECT_EQ(r.usage, (json{{"input_tokens", 4}, {"output_tokens", 6}, {"total_tokens", 10}}));
  EXPECT_EQ(r.provider, "openai");
  const json expected = {
      {"model", "gpt-5"},
      {"input",
       json::array(
           {{{"role", "user"},
             {"content",
              json::array(
                  {{{"type", "input_text"},
                    {"text",
                     "[ROLE]\nSYS\n\n[DATA CONTEXT]\nctx\n\n[USER]\nq\n\nextra one\n\nNone"}},
                   {{"type", "input_image"}, {"image_url", "data:image/png;base64,QUJD"}},
                   // A data URL goes as it is: no doubled prefix.
                   {{"type", "input_image"}, {"image_url", "data:image/gif;base64,R0lG"}}})}}})}};
  EXPECT_EQ(only_request(StubProvider::OpenAI), expected);
  EXPECT_EQ(stub.requests()[0].header("authorization"), std::string("Bearer ") + kKey);

  stub.clear();
  stub.enqueue_openai_text("x");
  a.ask_gpt("  just the query ", "");
  EXPECT_EQ(only_request(StubProvider::OpenAI)["input"][0]["content"][0]["text"],
            "[USER]\njust the query");
}

TEST_F(ModelCallTest, OpenAISchemaSwitchesToJsonParsing) {
  Assistant a = make("gpt-5");
  const json schema = {{"type", "object"}};
  stub.enqueue_openai_text("{\"a\": [1, 2]}");
  EXPECT_EQ(a.ask_inner("q", with_schema(schema)).content, (json{{"a", {1, 2}}}));
  stub.enqueue_openai_text("```json\n{\"a\": 1}\n```");
  try {
    a.ask_inner("q", with_schema(schema));
    FAIL() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()),
              "GPT did not return valid JSON.\nerror=Expecting value: line 1 column 1 (char 0)\n"
              "first500=```json\n{\"a\": 1}\n```");
  }
  // Nothing of the schema is sent.
  EXPECT_FALSE(stub.requests().back().json_body.contains("text"));
  EXPECT_THROW(a.ask_inner("q", with_schema(json::array())), TypeError);
}

TEST_F(ModelCallTest, ProviderFollowsTheModelNameAndServiceErrorsPropagate) {
  Assistant a = make("Gemini-2.5");  // capital G: OpenAI
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_json({{"error", {{"message", "nope"}}}}, 400));
  try {
    a.ask_inner("q");
    FAIL();
  } catch (const ServiceError& e) {
    EXPECT_STREQ(e.type_name(), "BadRequestError");
    EXPECT_EQ(std::string(e.what()).find(kKey), std::string::npos);
  }
  EXPECT_EQ(host.console(), "");  // the OpenAI adapter reports nothing itself
  // A client of the other provider (after a half-failed reconfiguration) is an attribute error.
  a.model_name = "gemini-2.5-flash";
  EXPECT_THROW(a.ask_inner("q"), AttributeError);
}

}  // namespace
}  // namespace norvex

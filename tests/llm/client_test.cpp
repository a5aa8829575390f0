#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "norvex/llm/client.hpp"
#include "support/stub_model_server.hpp"

namespace norvex {
namespace {

using testing::StubModelServer;
using testing::StubProvider;
using testing::StubResponse;

// Retries that take milliseconds, so the policy is exercised without slowing the suite.
void make_quick(ServiceClient& c) {
  c.retry_policy().initial_delay_seconds = 0.001;
  c.retry_policy().max_delay_seconds = 0.005;
  c.retry_policy().jitter_amount = std::min(c.retry_policy().jitter_amount, 0.001);
}

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

template <class F>
ServiceError capture(F&& f) {
  try {
    f();
  } catch (const ServiceError& e) {
    return e;
  }
  ADD_FAILURE() << "no ServiceError thrown";
  return ServiceError("none", "");
}

TEST(GeminiClientTest, PostsRestRequestWithKeyHeaderAndReadsText) {
  StubModelServer stub;
  stub.enqueue_gemini_text("hello", 3, 2);
  GeminiClient client("g-key", stub.base_url());
  const json request = {
      {"contents", json::array({{{"role", "user"}, {"parts", json::array({{{"text", "hi"}}})}}})}};
  json resp = client.generate_content("gemini-2.5-flash", request);
  EXPECT_EQ(gemini_response_text(resp), std::optional<std::string>("hello"));
  EXPECT_EQ(resp["usageMetadata"]["totalTokenCount"], 5);

  auto reqs = stub.requests(StubProvider::Gemini);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].method, "POST");
  EXPECT_EQ(reqs[0].path, "/v1beta/models/gemini-2.5-flash:generateContent");
  EXPECT_EQ(reqs[0].header("x-goog-api-key"), "g-key");
  EXPECT_EQ(reqs[0].header("content-type"), "application/json");
  EXPECT_EQ(reqs[0].header("authorization"), "");
  EXPECT_EQ(reqs[0].json_body, request);
}

TEST(OpenAIClientTest, PostsResponsesRequestWithBearerKeyAndReadsOutputText) {
  StubModelServer stub;
  stub.enqueue_openai_text("answer");
  OpenAIClient client("sk-abc", stub.base_url() + "/v1/");
  const json request = {{"model", "gpt-5"}, {"input", "hi"}};
  json resp = client.create_response(request);
  EXPECT_EQ(openai_output_text(resp), "answer");
  auto reqs = stub.requests(StubProvider::OpenAI);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].path, "/v1/responses");
  EXPECT_EQ(reqs[0].header("authorization"), "Bearer sk-abc");
  EXPECT_EQ(reqs[0].json_body, request);
}

TEST(ClientDefaultsTest, EndpointAndKeyComeFromArgumentThenEnvironmentThenDefault) {
  {
    ScopedEnv a("GOOGLE_GEMINI_BASE_URL", nullptr), b("OPENAI_BASE_URL", nullptr);
    ScopedEnv c("GOOGLE_API_KEY", nullptr), d("GEMINI_API_KEY", nullptr),
        e("OPENAI_API_KEY", nullptr);
    EXPECT_EQ(GeminiClient(std::nullopt).effective_base_url(),
              "https://generativelanguage.googleapis.com/");
    EXPECT_EQ(OpenAIClient(std::nullopt).effective_base_url(), "https://api.openai.com/v1");
    EXPECT_FALSE(GeminiClient(std::nullopt).has_effective_key());
    EXPECT_FALSE(OpenAIClient(std::nullopt).has_effective_key());
    EXPECT_EQ(GeminiClient(std::nullopt).generate_content_url("gemini-x"),
              "https://generativelanguage.googleapis.com/v1beta/models/gemini-x:generateContent");
  }
  {
    ScopedEnv a("GOOGLE_GEMINI_BASE_URL", "http://gw.example/"),
        b("OPENAI_BASE_URL", "http://oa.example/v1");
    EXPECT_EQ(GeminiClient(std::nullopt).effective_base_url(), "http://gw.example/");
    EXPECT_EQ(OpenAIClient(std::nullopt).effective_base_url(), "http://oa.example/v1");
    EXPECT_EQ(GeminiClient(std::nullopt, "http://mine").effective_base_url(), "http://mine");
  }
}

TEST(ClientDefaultsTest, NullKeyFallsBackToTheEnvironmentVariablesOfEachService) {
  StubModelServer stub;
  ScopedEnv c("GOOGLE_API_KEY", "from-google"), d("GEMINI_API_KEY", "from-gemini");
  ScopedEnv e("OPENAI_API_KEY", "from-openai");
  stub.enqueue_gemini_text("x");
  stub.enqueue_gemini_text("x");
  stub.enqueue_openai_text("y");
  stub.enqueue_openai_text("y");
  GeminiClient(std::nullopt, stub.base_url()).generate_content("m", json::object());
  GeminiClient(" explicit \n", stub.base_url()).generate_content("m", json::object());
  OpenAIClient(std::nullopt, stub.base_url()).create_response(json::object());
  OpenAIClient("own", stub.base_url()).create_response(json::object());
  auto g = stub.requests(StubProvider::Gemini);
  auto o = stub.requests(StubProvider::OpenAI);
  ASSERT_EQ(g.size(), 2u);
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(g[0].header("x-goog-api-key"), "from-google");  // GOOGLE_API_KEY wins
  EXPECT_EQ(g[1].header("x-goog-api-key"), "explicit");     // stripped like the official client
  EXPECT_EQ(o[0].header("authorization"), "Bearer from-openai");
  EXPECT_EQ(o[1].header("authorization"), "Bearer own");
}

TEST(ClientDefaultsTest, MissingKeyFailsBeforeAnyRequest) {
  StubModelServer stub;
  ScopedEnv c("GOOGLE_API_KEY", nullptr), d("GEMINI_API_KEY", nullptr),
      e("OPENAI_API_KEY", nullptr);
  EXPECT_THROW(GeminiClient(std::nullopt, stub.base_url()).generate_content("m", json::object()),
               ValueError);
  // (A remote address: one on this machine needs no key.)
  auto err = capture(
      [&] { OpenAIClient(std::nullopt, "http://models.example.invalid/v1").create_response({}); });
  EXPECT_STREQ(err.type_name(), "OpenAIError");
  EXPECT_NE(std::string(err.what()).find("OPENAI_API_KEY"), std::string::npos);
  EXPECT_EQ(stub.request_count(), 0u);
}

TEST(RetryPolicyTest, OpenAIRetriesRateLimitThenSucceeds) {
  StubModelServer stub;
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_json({{"error", {{"message", "slow down"}}}}, 429));
  stub.enqueue_openai_text("ok");
  OpenAIClient client("k", stub.base_url());
  make_quick(client);
  EXPECT_EQ(openai_output_text(client.create_response({{"model", "m"}})), "ok");
  EXPECT_EQ(stub.request_count(), 2u);
}

TEST(RetryPolicyTest, BadRequestIsNotRetriedAndCarriesStatusAndServiceMessage) {
  StubModelServer stub;
  stub.enqueue(
      StubProvider::OpenAI,
      StubResponse::of_json(
          {{"error",
            {{"message", "Unknown parameter: 'foo'."}, {"type", "invalid_request_error"}}}},
          400));
  OpenAIClient client("k", stub.base_url());
  make_quick(client);
  auto err = capture([&] { client.create_response({}); });
  EXPECT_STREQ(err.type_name(), "BadRequestError");
  EXPECT_EQ(err.status(), 400);
  EXPECT_STREQ(err.what(), "Error code: 400 - Unknown parameter: 'foo'.");
  EXPECT_EQ(stub.request_count(), 1u);
}

TEST(RetryPolicyTest, OpenAIGivesUpAfterTwoRetriesAndHonoursServerDirectives) {
  StubModelServer stub;
  for (int i = 0; i < 3; ++i)
    stub.enqueue(StubProvider::OpenAI, StubResponse::of_raw("upstream broke", 502));
  OpenAIClient client("k", stub.base_url());
  make_quick(client);
  auto err = capture([&] { client.create_response({}); });
  EXPECT_STREQ(err.type_name(), "InternalServerError");
  EXPECT_STREQ(err.what(), "Error code: 502 - upstream broke");
  EXPECT_EQ(stub.request_count(), 3u);

  // x-should-retry: false stops at once; a Retry-After beyond a minute is not waited for.
  stub.clear();
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_raw("", 503).with_header("x-should-retry", "false"));
  EXPECT_STREQ(capture([&] { client.create_response({}); }).type_name(), "InternalServerError");
  EXPECT_EQ(stub.request_count(), 1u);
  stub.clear();
  stub.enqueue(StubProvider::OpenAI, StubResponse::of_json({{"error", {{"message", "quota"}}}}, 429)
                                         .with_header("Retry-After", "3600"));
  EXPECT_STREQ(capture([&] { client.create_response({}); }).type_name(), "RateLimitError");
  EXPECT_EQ(stub.request_count(), 1u);
  // A short Retry-After is obeyed (and succeeds on the next attempt).
  stub.clear();
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_json({}, 429).with_header("retry-after-ms", "5"));
  stub.enqueue_openai_text("fine");
  EXPECT_EQ(openai_output_text(client.create_response({})), "fine");
}

TEST(RetryPolicyTest, GeminiDoesNotRetryByDefaultButCanBeSwitchedOn) {
  StubModelServer stub;
  stub.enqueue(StubProvider::Gemini,
               StubResponse::of_json({{"error",
                                       {{"code", 429},
                                        {"message", "Resource has been exhausted"},
                                        {"status", "RESOURCE_EXHAUSTED"}}}},
                                     429));
  GeminiClient client("k", stub.base_url());
  auto err = capture([&] { client.generate_content("m", json::object()); });
  EXPECT_STREQ(err.type_name(), "ClientError");
  EXPECT_EQ(err.status(), 429);
  EXPECT_STREQ(err.what(), "429 RESOURCE_EXHAUSTED. Resource has been exhausted");
  EXPECT_EQ(stub.request_count(), 1u);

  stub.clear();
  client.retry_policy() = RetryPolicy::gemini_enabled();
  make_quick(client);
  stub.enqueue(StubProvider::Gemini, StubResponse::of_raw("oops", 503));
  stub.enqueue(StubProvider::Gemini, StubResponse::of_raw("oops", 500));
  stub.enqueue_gemini_text("back");
  EXPECT_EQ(gemini_response_text(client.generate_content("m", json::object())), "back");
  EXPECT_EQ(stub.request_count(), 3u);

  stub.clear();
  stub.enqueue(StubProvider::Gemini, StubResponse::of_raw("nope", 501));  // not in the list
  auto server = capture([&] { client.generate_content("m", json::object()); });
  EXPECT_STREQ(server.type_name(), "ServerError");
  EXPECT_STREQ(server.what(), "501 Unknown Status. nope");
  EXPECT_EQ(stub.request_count(), 1u);
}

TEST(RetryPolicyTest, BackoffFollowsEachClientsFormula) {
  const RetryPolicy o = RetryPolicy::openai_default();
  for (int i = 0; i < 50; ++i) {
    double first = o.backoff_seconds(0);
    EXPECT_GE(first, 0.375);
    EXPECT_LE(first, 0.5);
    EXPECT_LE(o.backoff_seconds(30), 8.0);
    EXPECT_GE(o.backoff_seconds(30), 6.0);
  }
  const RetryPolicy g = RetryPolicy::gemini_enabled();
  EXPECT_EQ(g.max_retries, 4);
  for (int i = 0; i < 50; ++i) {
    double first = g.backoff_seconds(0);
    EXPECT_GE(first, 1.0);
    EXPECT_LE(first, 2.0);
    EXPECT_LE(g.backoff_seconds(20), 60.0);
  }
  EXPECT_EQ(RetryPolicy::gemini_default().max_retries, 0);
}

TEST(TransportTest, DeadPortFailsClearlyAndQuickly) {
  const std::string url = "http://127.0.0.1:" + std::to_string(StubModelServer::unused_port());
  OpenAIClient openai("sk-dead-port-key", url);
  make_quick(openai);
  auto start = std::chrono::steady_clock::now();
  auto err = capture([&] { openai.create_response({}); });
  EXPECT_STREQ(err.type_name(), "APIConnectionError");
  EXPECT_NE(std::string(err.what()).find(url), std::string::npos) << err.what();
  EXPECT_EQ(std::string(err.what()).find("sk-dead-port-key"), std::string::npos);
  EXPECT_EQ(err.status(), 0);

  GeminiClient gemini("g-dead", url);
  auto gerr = capture([&] { gemini.generate_content("m", json::object()); });
  EXPECT_STREQ(gerr.type_name(), "ConnectError");
  EXPECT_NE(std::string(gerr.what()).find(url), std::string::npos) << gerr.what();
  // Generous bound: connection refusal is immediate; this only guards against hanging.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(TransportTest, SlowServerTimesOut) {
  StubModelServer stub;
  stub.enqueue(StubProvider::OpenAI, StubResponse::of_json(StubModelServer::openai_response("late"))
                                         .with_delay(std::chrono::milliseconds(600)));
  stub.enqueue(StubProvider::Gemini, StubResponse::of_json(StubModelServer::gemini_response("late"))
                                         .with_delay(std::chrono::milliseconds(600)));
  OpenAIClient openai("k", stub.base_url());
  openai.retry_policy().max_retries = 0;
  openai.timeouts().total_seconds = 0.1;
  EXPECT_STREQ(capture([&] { openai.create_response({}); }).type_name(), "APITimeoutError");
  GeminiClient gemini("k", stub.base_url());
  gemini.timeouts().total_seconds = 0.1;
  EXPECT_STREQ(capture([&] { gemini.generate_content("m", json::object()); }).type_name(),
               "ReadTimeout");
}

TEST(TransportTest, StallingServerIsGivenUpOnLongBeforeTheTotalTimeout) {
  StubModelServer stub;
  // Headers at once, then a byte every 2.5 s: alive, but never finishing in useful time.
  stub.enqueue(StubProvider::OpenAI, StubResponse::of_json(StubModelServer::openai_response("slow"))
                                         .with_trickle(std::chrono::milliseconds(2500)));
  stub.enqueue(StubProvider::Gemini, StubResponse::of_json(StubModelServer::gemini_response("slow"))
                                         .with_trickle(std::chrono::milliseconds(2500)));
  EXPECT_EQ(OpenAIClient("k").timeouts().stall_seconds, 60.0);
  OpenAIClient openai("k", stub.base_url());
  openai.retry_policy().max_retries = 0;
  openai.timeouts().stall_seconds = 1;
  GeminiClient gemini("k", stub.base_url());
  gemini.timeouts().stall_seconds = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_STREQ(capture([&] { openai.create_response({}); }).type_name(), "APITimeoutError");
  EXPECT_STREQ(capture([&] { gemini.generate_content("m", json::object()); }).type_name(),
               "ReadTimeout");
  // Each attempt ends within a few seconds of its last byte, not after the whole body.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

  // A model that thinks before its first byte is not a stalled one.
  stub.enqueue(StubProvider::OpenAI, StubResponse::of_json(StubModelServer::openai_response("ok"))
                                         .with_delay(std::chrono::milliseconds(2500)));
  EXPECT_NO_THROW(openai.create_response({}));
}

TEST(KeySecrecyTest, ErrorsNeverCarryTheKeyEvenWhenTheServiceEchoesIt) {
  const std::string key = "sk-proj-RECOGNISABLE-SECRET-9f8e7d6c";
  StubModelServer stub;
  stub.enqueue(
      StubProvider::OpenAI,
      StubResponse::of_json(
          {{"error",
            {{"message", "Incorrect API key provided: " + key + ". Also sk-pro**********7d6c."}}}},
          401));
  stub.enqueue(StubProvider::Gemini, StubResponse::of_raw("bad key " + key + " rejected", 400));
  stub.enqueue(StubProvider::Gemini, StubResponse::of_raw("{not json " + key, 200));
  OpenAIClient openai(key, stub.base_url());
  GeminiClient gemini(key, stub.base_url());
  std::vector<std::string> messages;
  auto e1 = capture([&] { openai.create_response({}); });
  EXPECT_STREQ(e1.type_name(), "AuthenticationError");
  messages.push_back(e1.what());
  messages.push_back(capture([&] { gemini.generate_content("m", json::object()); }).what());
  auto e3 = capture([&] { gemini.generate_content("m", json::object()); });
  EXPECT_STREQ(e3.type_name(), "UnknownApiResponseError");
  messages.push_back(e3.what());
  for (const auto& m : messages) {
    EXPECT_EQ(m.find(key), std::string::npos) << m;
    EXPECT_EQ(m.find("7d6c"), std::string::npos) << m;
    EXPECT_NE(m.find("[redacted]"), std::string::npos) << m;
  }
}

TEST(ResponseTest, MalformedOrHostileBodiesBecomeErrorsNotCrashes) {
  StubModelServer stub;
  stub.enqueue(StubProvider::OpenAI, StubResponse::of_raw("<html>gateway</html>"));
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_raw(std::string(100000, '[') + std::string(100000, ']')));
  OpenAIClient client("k", stub.base_url());
  EXPECT_STREQ(capture([&] { client.create_response({}); }).type_name(),
               "APIResponseValidationError");
  EXPECT_STREQ(capture([&] { client.create_response({}); }).type_name(),
               "APIResponseValidationError");
}

TEST(ResponseTest, TextAttributesFollowTheOfficialClients) {
  json g = {{"candidates",
             json::array({{{"content",
                            {{"parts", json::array({{{"text", "thinking..."}, {"thought", true}},
                                                    {{"text", "Hello "}},
                                                    {{"inlineData", {{"data", "AA=="}}}},
                                                    {{"text", "world"}}})}}}},
                          {{"content", {{"parts", json::array({{{"text", "second"}}})}}}}})}};
  EXPECT_EQ(gemini_response_text(g), std::optional<std::string>("Hello world"));
  EXPECT_EQ(gemini_response_text(json{{"candidates", json::array()}}), std::nullopt);
  EXPECT_EQ(gemini_response_text(json{{"promptFeedback", {{"blockReason", "SAFETY"}}}}),
            std::nullopt);

  json o = {
      {"output",
       json::array({{{"type", "reasoning"}, {"summary", json::array()}},
                    {{"type", "message"},
                     {"content", json::array({{{"type", "output_text"}, {"text", "A"}},
                                              {{"type", "refusal"}, {"refusal", "no"}},
                                              {{"type", "output_text"}, {"text", "B"}}})}},
                    {{"type", "message"},
                     {"content", json::array({{{"type", "output_text"}, {"text", "C"}}})}}})}};
  EXPECT_EQ(openai_output_text(o), "ABC");
  EXPECT_EQ(openai_output_text(json::object()), "");
}

TEST(ClientTest, ModelNamesCannotRewriteTheRequestPath) {
  GeminiClient client("k", "http://127.0.0.1:1/");
  EXPECT_EQ(client.generate_content_url("gemini x?key=1#f"),
            "http://127.0.0.1:1/v1beta/models/gemini%20x%3Fkey%3D1%23f:generateContent");
  EXPECT_EQ(client.generate_content_url("models/gemini-2.5-pro"),
            "http://127.0.0.1:1/v1beta/models/gemini-2.5-pro:generateContent");
  EXPECT_EQ(client.generate_content_url("gemini-x/../../../steal"),
            "http://127.0.0.1:1/v1beta/models/gemini-x%2F..%2F..%2F..%2Fsteal:generateContent");
  EXPECT_EQ(client.generate_content_url(".."),
            "http://127.0.0.1:1/v1beta/models/%2E%2E:generateContent");
}

TEST(ClientTest, NamesOutsideTheModelNameGrammarAreRefusedBeforeAnyRequest) {
  StubModelServer stub;
  GeminiClient gemini("g-secret-key", stub.base_url());
  for (const char* bad :
       {"gemini-x/../../../steal", "..", "models/../steal", "gemini x", "gemini-x?key=1", "models/",
        "", "/gemini", "gemini%2F..", "tunedModels/a/b"}) {
    try {
      gemini.generate_content(bad, json::object());
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("model name"), std::string::npos) << e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "'" << bad << "': " << error_type_name(e) << ": " << e.what();
    }
  }
  OpenAIClient openai("sk-secret", stub.base_url());
  for (const char* bad : {"gpt-5/../../x", "gpt 5", "", "gpt-5\n"}) {
    EXPECT_THROW(openai.create_response({{"model", bad}, {"input", "hi"}}), ValueError) << bad;
  }
  EXPECT_EQ(stub.request_count(), 0u);
  // The names the services use pass.
  for (const char* good : {"gemini-2.5-flash", "models/gemini-1.5-pro-002", "tunedModels/my_tune-1",
                           "gemini-2.0-flash-exp"}) {
    stub.enqueue_gemini_text("ok");
    EXPECT_EQ(gemini_response_text(gemini.generate_content(good, json::object())), "ok") << good;
  }
  for (const char* good :
       {"gpt-5", "gpt-4.1-mini", "o3", "ft:gpt-4o-mini-2024-07-18:org:name:id1"}) {
    stub.enqueue_openai_text("ok");
    EXPECT_EQ(openai_output_text(openai.create_response({{"model", good}})), "ok") << good;
  }
  EXPECT_EQ(stub.requests(StubProvider::Gemini).back().path,
            "/v1beta/models/gemini-2.0-flash-exp:generateContent");
}

}  // namespace
}  // namespace norvex

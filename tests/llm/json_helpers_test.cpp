#include <gtest/gtest.h>

#include <random>

#include "norvex/common/errors.hpp"
#include "norvex/llm/json_helpers.hpp"
#include "norvex/llm/validation.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex {
namespace {

TEST(ExtractJsonObjectTest, FencesProseArraysAndPlainText) {
  EXPECT_EQ(extract_json_object("```json\n{\"a\": 1}\n```"), "{\"a\": 1}");
  EXPECT_EQ(extract_json_object("  ```JSON-5_x \t\n[1, 2]   ```  "), "[1, 2]");
  EXPECT_EQ(extract_json_object("Here it is: {\"a\": {\"b\": 2}} Hope that helps."),
            "{\"a\": {\"b\": 2}}");
  // Greedy: two objects and the prose between them (the parser then rejects it).
  EXPECT_EQ(extract_json_object("x {\"a\":1} and {\"b\":2} y"), "{\"a\":1} and {\"b\":2}");
  EXPECT_EQ(extract_json_object("   [1, 2, 3]   "), "[1, 2, 3]");
  EXPECT_EQ(extract_json_object("  no json here \n"), "no json here");
  EXPECT_EQ(extract_json_object(json()), "");
  EXPECT_EQ(extract_json_object("\u3000{\"k\": \"v\"}\u00a0"), "{\"k\": \"v\"}");
  // A fence in the middle of prose is left to the span search.
  EXPECT_EQ(extract_json_object("See:\n```json\n{\"a\": 1}\n```"), "{\"a\": 1}");
  // Brace form is tried first at the leftmost position from which a match is possible.
  EXPECT_EQ(extract_json_object("a [ b { c } d"), "{ c }");
  EXPECT_EQ(extract_json_object("text [1] more"), "[1]");
  EXPECT_THROW(extract_json_object(json(5)), TypeError);
}

TEST(ExtractJsonObjectTest, SurvivesHugeAndHostileInput) {
  const std::string megabyte_braces(1 << 20, '{');
  EXPECT_EQ(extract_json_object(megabyte_braces), megabyte_braces);  // no closing brace
  std::string deep = std::string(500000, '[') + std::string(500000, ']');
  EXPECT_EQ(extract_json_object("prose " + deep + " prose"), deep);
  EXPECT_THROW(parse_json_text(deep), JSONDecodeError);
  std::string invalid_utf8 = "noise \xff\xfe {\"a\": \"\xc3\x28\"} \x80 tail";
  EXPECT_EQ(extract_json_object(invalid_utf8), "{\"a\": \"\xc3\x28\"}");
  EXPECT_THROW(parse_json_text(extract_json_object(invalid_utf8)), JSONDecodeError);
  const std::string big_string = "{\"a\": \"" + std::string(1 << 20, 'x') + "\"}";
  EXPECT_EQ(parse_json_text(extract_json_object("```json\n" + big_string + "\n```"))["a"]
                .get<std::string>()
                .size(),
            size_t(1) << 20);
}

TEST(ExtractJsonObjectTest, FuzzedAnswersNeverCrashThePipeline) {
  std::mt19937 rng(12345);
  const std::string alphabet = "{}[]\":,`\\ \n\tab01-.nultrefs\xff\xc3\xa9";
  const json& schema = prompts::router_schema();
  int parsed = 0;
  for (int i = 0; i < 5000; ++i) {
    std::string s;
    const int len = std::uniform_int_distribution<int>(0, 120)(rng);
    for (int k = 0; k < len; ++k) s += alphabet[rng() % alphabet.size()];
    if (i % 7 == 0) s = "```json\n" + s + "\n```";
    if (i % 11 == 0) s = "{\"kind\": \"plan\", \"flags\": " + s + "}";
    std::string candidate;
    ASSERT_NO_THROW(candidate = extract_json_object(s));
    try {
      json data = parse_json_text(candidate);
      ++parsed;
      data = drop_nones_keep_required(data, schema);
      if (data.is_object()) ensure_required_defaults(data, schema);
      jsonschema_validate(data, schema);
    } catch (const Error&) {
      // Every failure is one of ours, with a type name the repair prompt can quote.
    }
  }
  EXPECT_GT(parsed, 0);
}

TEST(ParseJsonTextTest, ErrorsReadLikePythons) {
  auto message = [](const std::string& text) {
    try {
      parse_json_text(text);
    } catch (const JSONDecodeError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(""), "Expecting value: line 1 column 1 (char 0)");
  EXPECT_EQ(message("{\"a\": 1} tail"), "Extra data: line 1 column 10 (char 9)");
  EXPECT_EQ(message("{a: 1}"),
            "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)");
  EXPECT_EQ(message("{\"a\" 1}"), "Expecting ':' delimiter: line 1 column 6 (char 5)");
  EXPECT_EQ(message("[1 2]"), "Expecting ',' delimiter: line 1 column 4 (char 3)");
  EXPECT_EQ(message("{\n  \"é\": tru }"), "Expecting value: line 2 column 8 (char 9)");
  EXPECT_EQ(message("\"abc"), "Unterminated string starting at: line 1 column 1 (char 0)");
  EXPECT_EQ(std::string(JSONDecodeError("x").type_name()), "JSONDecodeError");
  EXPECT_EQ(parse_json_text(std::string(150, '[') + std::string(150, ']')).size(), 1u);
}

TEST(DropNonesTest, KeepsRequiredNullsAndRecursesThroughSchemas) {
  const json schema = {{"required", {"c"}},
                       {"properties", {{"list", {{"items", {{"type", "object"}}}}}}}};
  EXPECT_EQ(drop_nones_keep_required(json{{"a", nullptr}, {"b", 1}, {"c", nullptr}}, schema),
            (json{{"b", 1}, {"c", nullptr}}));
  const json data = {
      {"list", json::array({{{"x", nullptr}, {"y", 2}}, nullptr, {{"z", {{"w", nullptr}}}}})},
      {"unknown", {{"n", nullptr}, {"m", 3}}}};
  EXPECT_EQ(drop_nones_keep_required(data, schema),
            (json{{"list", json::array({{{"y", 2}}, nullptr, {{"z", json::object()}}})},
                  {"unknown", {{"m", 3}}}}));
  EXPECT_EQ(drop_nones_keep_required(json(5), json::object()), json(5));
  EXPECT_THROW(drop_nones_keep_required(json(5), json::array()), TypeError);
  // A non-mapping sub-schema fails the nested call.
  EXPECT_THROW(
      drop_nones_keep_required(json{{"a", {{"b", 1}}}}, json{{"properties", {{"a", true}}}}),
      TypeError);
}

TEST(EnsureRequiredDefaultsTest, FillsByDeclaredTypeAtTheTopLevelOnly) {
  const json schema = {
      {"required", {"arr", "obj", "opt", "str", "bool", "num", "int", "untyped", "present"}},
      {"properties",
       {{"arr", {{"type", "array"}}},
        {"obj", {{"type", "object"}, {"required", {"inner"}}}},
        {"opt", {{"type", {"string", "null"}}}},
        {"str", {{"type", "string"}}},
        {"bool", {{"type", "boolean"}}},
        {"num", {{"type", "number"}}},
        {"int", {{"type", "integer"}}},
        {"present", {{"type", "string"}}}}}};
  json data = {{"present", nullptr}};
  json& same = ensure_required_defaults(data, schema);
  EXPECT_EQ(&same, &data);
  EXPECT_EQ(data, (json{{"present", nullptr},
                        {"arr", json::array()},
                        {"obj", json::object()},
                        {"opt", nullptr},
                        {"str", ""},
                        {"bool", false},
                        {"num", 0.0},
                        {"int", 0},
                        {"untyped", nullptr}}));
  EXPECT_TRUE(data["num"].is_number_float());
  json list = json::array();
  EXPECT_THROW(ensure_required_defaults(list, schema), TypeError);
  json d2 = json::object();
  EXPECT_THROW(
      ensure_required_defaults(d2, json{{"required", {"a"}}, {"properties", json::array()}}),
      AttributeError);
}

TEST(SchemaPromptTextTest, FullJsonUpToTheLimitThenSummary) {
  json schema = {{"type", "object"},
                 {"properties", {{"k", {{"type", "string"}, {"description", ""}}}}}};
  const std::string full = dump_json(schema, 2);
  const long long extra = 2000 - static_cast<long long>(utf8_length(full));
  schema["properties"]["k"]["description"] = std::string(extra, 'x');
  ASSERT_EQ(utf8_length(dump_json(schema, 2)), 2000u);
  EXPECT_EQ(schema_dict_to_prompt_text(schema), dump_json(schema, 2));
  schema["properties"]["k"]["description"] = std::string(extra + 1, 'x');
  EXPECT_EQ(
      schema_dict_to_prompt_text(schema),
      "{\n  \"type\": \"object\",\n  \"properties\": {\n    \"k\": {\"type\": string},\n  }\n}");
  // Characters, not bytes, are counted.
  schema["properties"]["k"]["description"] = std::string("é") + std::string(extra - 1, 'x');
  EXPECT_EQ(schema_dict_to_prompt_text(schema), dump_json(schema, 2));

  json many = {{"type", "array"}, {"required", {"p0", "p1"}}, {"properties", json::object()}};
  for (int i = 0; i < 32; ++i)
    many["properties"]["p" + std::to_string(i)] = {{"type", {"string", "null"}}};
  many["properties"]["p3"] = 7;
  const std::string summary = schema_dict_to_prompt_text(many, 100);
  EXPECT_NE(summary.find("  \"type\": \"object\",\n  \"required\": ['p0', 'p1'],\n"),
            std::string::npos);
  EXPECT_NE(summary.find("    \"p0\": {\"type\": ['string', 'null']},\n"), std::string::npos);
  EXPECT_NE(summary.find("    \"p3\": {\"type\": any},\n"), std::string::npos);
  EXPECT_NE(summary.find("    \"p29\""), std::string::npos);
  EXPECT_EQ(summary.find("    \"p30\""), std::string::npos);
  EXPECT_NE(summary.find("    \"...\": \"(+2 more)\"\n  }\n}"), std::string::npos);
}

TEST(PythonFormsTest, ReprIntAndTruth) {
  EXPECT_EQ(py_repr(json{{"a", {1, 2.5, true, nullptr}}, {"b", "it's"}}),
            "{'a': [1, 2.5, True, None], 'b': \"it's\"}");
  EXPECT_EQ(py_repr(json("a\nb\\")), "'a\\nb\\\\'");
  EXPECT_EQ(py_repr(json(std::string(50, 'x')), 10), "'xxxxxxxxx...");
  EXPECT_EQ(py_int(json("12")), 12);
  EXPECT_EQ(py_int(json(" -3 ")), -3);
  EXPECT_EQ(py_int(json(12.9)), 12);
  EXPECT_EQ(py_int(json(true)), 1);
  EXPECT_THROW(py_int(json("12.5")), ValueError);
  EXPECT_THROW(py_int(json("abc")), ValueError);
  EXPECT_THROW(py_int(json::array()), TypeError);
  EXPECT_FALSE(py_truthy(json("")));
  EXPECT_TRUE(py_truthy(json("0")));
  EXPECT_EQ(py_json_dumps(json{{"a", {1, "é"}}, {"b", json::object()}}),
            "{\"a\": [1, \"é\"], \"b\": {}}");
  EXPECT_EQ(py_strip("\u2003 x y \n\u3000"), "x y");
}

}  // namespace
}  // namespace norvex

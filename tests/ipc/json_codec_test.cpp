#include "ipc/json_codec.h"

#include <string>

#include <gtest/gtest.h>

#include "ipc/messages.h"

namespace kavel_lib::ipc {
namespace {

std::string parse_error(std::string_view text) {
  auto doc = json_codec::parse_document(text, {.keep_nested = true, .keys = {}, .max_elements = SIZE_MAX});
  if (doc) return "parsed";
  return doc.error().display();
}

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonSyntax, EndOfInputInsideEachKindOfValue) {
  EXPECT_EQ(parse_error(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(parse_error("  \n "), "EOF while parsing a value at line 2 column 1");
  EXPECT_EQ(parse_error("{"), "EOF while parsing an object at line 1 column 1");
  EXPECT_EQ(parse_error("["), "EOF while parsing a list at line 1 column 1");
  EXPECT_EQ(parse_error(R"({"a")"), "EOF while parsing an object at line 1 column 4");
  EXPECT_EQ(parse_error(R"({"a":)"), "EOF while parsing a value at line 1 column 5");
  EXPECT_EQ(parse_error(R"({"a":1)"), "EOF while parsing an object at line 1 column 6");
  EXPECT_EQ(parse_error(R"({"a":1,)"), "EOF while parsing a value at line 1 column 7");
  EXPECT_EQ(parse_error("[1"), "EOF while parsing a list at line 1 column 2");
  EXPECT_EQ(parse_error("[1,"), "EOF while parsing a value at line 1 column 3");
  EXPECT_EQ(parse_error(R"("abc)"), "EOF while parsing a string at line 1 column 4");
  EXPECT_EQ(parse_error(R"("a\u12)"), "EOF while parsing a string at line 1 column 6");
  EXPECT_EQ(parse_error("tru"), "EOF while parsing a value at line 1 column 3");
  EXPECT_EQ(parse_error("-"), "EOF while parsing a value at line 1 column 1");
}

TEST(JsonSyntax, AnythingAfterTheValueIsTrailingCharacters) {
  EXPECT_EQ(parse_error(R"({"op":"ping"} x)"), "trailing characters at line 1 column 15");
  EXPECT_EQ(parse_error(R"({"op":"ping"}})"), "trailing characters at line 1 column 14");
  EXPECT_EQ(parse_error("{\"op\":\"ping\"}\n\n  [1]"), "trailing characters at line 3 column 3");
  EXPECT_EQ(parse_error("1 2"), "trailing characters at line 1 column 3");
  EXPECT_EQ(parse_error("[]\"s\""), "trailing characters at line 1 column 3");
  // A NUL byte ends nothing: after the value it is trailing, inside it out of place.
  EXPECT_EQ(parse_error(std::string_view("{}\0", 3)), "trailing characters at line 1 column 3");
  EXPECT_EQ(parse_error(std::string_view("{}\0{\"op\":1}", 11)), "trailing characters at line 1 column 3");
  EXPECT_EQ(parse_error(std::string_view("[1,\0]", 5)), "expected value at line 1 column 4");
  EXPECT_EQ(parse_error(std::string_view("\0", 1)), "expected value at line 1 column 1");
  EXPECT_EQ(parse_error(std::string_view("{\"a\":1\0}", 8)), "expected `,` or `}` at line 1 column 7");
  EXPECT_EQ(parse_error("{} \t\r\n"), "parsed");
}

TEST(JsonSyntax, MisplacedTokens) {
  EXPECT_EQ(parse_error("x"), "expected value at line 1 column 1");
  EXPECT_EQ(parse_error("trux"), "expected ident at line 1 column 4");
  EXPECT_EQ(parse_error(R"({"a" 1})"), "expected `:` at line 1 column 6");
  EXPECT_EQ(parse_error("{1:2}"), "key must be a string at line 1 column 2");
  EXPECT_EQ(parse_error(R"({"a":1 "b":2})"), "expected `,` or `}` at line 1 column 8");
  EXPECT_EQ(parse_error("[1 2]"), "expected `,` or `]` at line 1 column 4");
  EXPECT_EQ(parse_error("[1,]"), "trailing comma at line 1 column 4");
  EXPECT_EQ(parse_error(R"({"a":1, })"), "trailing comma at line 1 column 9");
  EXPECT_EQ(parse_error("[,1]"), "expected value at line 1 column 2");
  EXPECT_EQ(parse_error(R"({"a": })"), "expected value at line 1 column 7");
  EXPECT_EQ(parse_error("\xEF\xBB\xBF{}"), "expected value at line 1 column 1");
}

TEST(JsonSyntax, BadStringsAndNumbers) {
  EXPECT_EQ(parse_error(R"("a\qb")"), "invalid escape at line 1 column 4");
  EXPECT_EQ(parse_error("\"a\x01\""), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3");
  EXPECT_EQ(parse_error("\"a\nb\""), "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0");
  EXPECT_EQ(parse_error("\"\xFF\""), "invalid unicode code point at line 1 column 2");
  EXPECT_EQ(parse_error(R"("\ud800")").substr(0, 36), "lone leading surrogate in hex escape");
  EXPECT_EQ(parse_error(R"("\udc00")").substr(0, 36), "lone leading surrogate in hex escape");
  EXPECT_EQ(parse_error("-x"), "invalid number at line 1 column 2");
  EXPECT_EQ(parse_error("[01]"), "invalid number at line 1 column 3");
  EXPECT_EQ(parse_error("1e400"), "number out of range at line 1 column 5");
  EXPECT_EQ(parse_error("[-1e400]"), "number out of range at line 1 column 7");
  EXPECT_EQ(parse_error("1."), "EOF while parsing a value at line 1 column 2");
  // Escaped text, including NUL and text beyond the basic plane, is fine.
  EXPECT_EQ(parse_error(R"(["\u0000","\ud83d\ude00","\/"])"), "parsed");
}

TEST(JsonNesting, AllowsOneHundredTwentySevenLevels) {
  EXPECT_EQ(parse_error(nested_arrays(127)), "parsed");
  EXPECT_EQ(parse_error(nested_arrays(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(parse_error(std::string(100000, '[')), "recursion limit exceeded at line 1 column 128");
  // The message's own object counts as a level.
  const std::string deep_ok = R"({"status":"ok","data":)" + nested_arrays(126) + "}";
  auto reply = ipc_response_deserialize(deep_ok);
  ASSERT_TRUE(reply.has_value()) << reply.error().display();
  const std::string too_deep = R"({"status":"ok","data":)" + nested_arrays(127) + "}";
  EXPECT_EQ(ipc_response_deserialize(too_deep).error().message, "recursion limit exceeded");
  const std::string deep_objects = std::string(64, '[') + R"({"a":)" + nested_arrays(63) + "}" + std::string(64, ']');
  EXPECT_EQ(parse_error(deep_objects), "recursion limit exceeded at line 1 column 132");
}

TEST(JsonDocument, KeepsFirstLevelInInputOrderWithDuplicatesAndEnds) {
  auto doc = json_codec::parse_document(R"({"b":1,"a":[1,{"x":2}],"b":-2,"c":"s"})", {.keep_nested = true, .keys = {}, .max_elements = SIZE_MAX});
  ASSERT_TRUE(doc.has_value());
  ASSERT_EQ(doc->members.size(), 4u);
  EXPECT_EQ(doc->members[0].key, "b");
  EXPECT_EQ(doc->members[0].key_end, 4u);
  EXPECT_EQ(doc->members[0].value.end, 6u);
  EXPECT_EQ(doc->members[1].value.kind, json_codec::Kind::Array);
  EXPECT_EQ(doc->members[1].value.nested.dump(), R"([1,{"x":2}])");
  EXPECT_EQ(doc->members[1].value.end, 22u);
  EXPECT_EQ(doc->members[2].value.kind, json_codec::Kind::Signed);
  EXPECT_EQ(doc->members[2].value.signed_value, -2);
  EXPECT_EQ(doc->members[3].value.text, "s");
  EXPECT_EQ(doc->top.end, 38u);

  // Without keeping nested values only their kind is known.
  auto lean = json_codec::parse_document(R"([{"a":[1,2,3]},"x"])", {});
  ASSERT_TRUE(lean.has_value());
  ASSERT_EQ(lean->elements.size(), 2u);
  EXPECT_EQ(lean->elements[0].kind, json_codec::Kind::Object);
  EXPECT_TRUE(lean->elements[0].nested.is_null());
  EXPECT_EQ(lean->elements[0].end, 14u);
}

TEST(JsonDocument, LimitsKeepOnlyWhatDecodersRead) {
  const std::string_view keys[] = {"op", "path"};
  const json_codec::ParseLimits limits{.keep_nested = true, .keys = keys, .max_elements = 3};

  std::string many = "[\"ping\"";
  for (int i = 0; i < 100000; ++i) many += ",[1,{\"a\":2}]";
  many += "]";
  auto array = json_codec::parse_document(many, limits);
  ASSERT_TRUE(array.has_value());
  EXPECT_EQ(array->elements.size(), 3u);
  EXPECT_EQ(array->element_count, 100001u);
  EXPECT_EQ(array->elements[2].nested.dump(), R"([1,{"a":2}])");

  auto object = json_codec::parse_document(
      R"({"x":[1,[2]],"op":1,"path":2,"op":3,"op":4,"y":{"z":[]},"path":{"q":[5]},"path":6})", limits);
  ASSERT_TRUE(object.has_value());
  ASSERT_EQ(object->members.size(), 4u);
  EXPECT_EQ(object->members[0].key, "op");
  EXPECT_EQ(object->members[1].key, "path");
  EXPECT_EQ(object->members[2].value.unsigned_value, 3u);
  EXPECT_EQ(object->members[3].value.nested.dump(), R"({"q":[5]})");
  EXPECT_EQ(object->members[3].value.end, 72u);
}

TEST(JsonDocument, LargeRequestsGiveTheSameErrorsWithoutHoldingEveryValue) {
  std::string array = R"(["open_device","p",1)";
  for (int i = 0; i < 1000000; ++i) array += ",0";
  array += "]";
  auto request = deserialize_ipc_request(array);
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error().message, "invalid length 1000002, expected 2 elements in sequence");

  std::string object = R"({"op":"open_device",)";
  for (int i = 0; i < 100000; ++i) object += R"("note":[1,2],)";
  object += R"("path":"p","client_pid":1,"path":"q"})";
  auto duplicate = deserialize_ipc_request(object);
  ASSERT_FALSE(duplicate.has_value());
  EXPECT_EQ(duplicate.error().message, "duplicate field `path`");

  // Keys of other variants repeat freely.
  auto other = deserialize_ipc_request(R"({"op":"ping","letter":1,"letter":2,"letter":3})");
  EXPECT_TRUE(other.has_value());
}

TEST(JsonDocument, NumberEndsAreExactWhereverTheNumberStands) {
  auto doc = json_codec::parse_document("[7, 12 ,3]", {});
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(doc->elements[0].end, 2u);
  EXPECT_EQ(doc->elements[1].end, 6u);
  EXPECT_EQ(doc->elements[2].end, 9u);
  auto alone = json_codec::parse_document("42", {});
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(alone->top.end, 2u);
  auto spaced = json_codec::parse_document("42 ", {});
  ASSERT_TRUE(spaced.has_value());
  EXPECT_EQ(spaced->top.end, 2u);
}

TEST(JsonDocument, PositionsCountLinesAndColumnsInBytes) {
  auto reply = deserialize_ipc_request("{\n  \"op\": \"pong\"\n}");
  ASSERT_FALSE(reply.has_value());
  EXPECT_EQ(reply.error().line, 2u);
  EXPECT_EQ(reply.error().column, 14u);
  // Multi-byte characters count as their bytes.
  auto wide = deserialize_ipc_request("{\"\xE4\xB8\xAD\":1,\"op\":5}");
  ASSERT_FALSE(wide.has_value());
  EXPECT_EQ(wide.error().display(), "invalid type: integer `5`, expected variant identifier at line 1 column 15");
}

TEST(JsonNumbers, DoublesReadBackInTheWireNotation) {
  EXPECT_EQ(json_codec::format_double(1.0), "1.0");
  EXPECT_EQ(json_codec::format_double(-0.0), "-0.0");
  EXPECT_EQ(json_codec::format_double(0.1), "0.1");
  EXPECT_EQ(json_codec::format_double(123.456), "123.456");
  EXPECT_EQ(json_codec::format_double(1e15), "1000000000000000.0");
  EXPECT_EQ(json_codec::format_double(1e16), "1e16");
  EXPECT_EQ(json_codec::format_double(1.5e300), "1.5e300");
  EXPECT_EQ(json_codec::format_double(0.0001), "0.0001");
  EXPECT_EQ(json_codec::format_double(0.00001), "0.00001");
  EXPECT_EQ(json_codec::format_double(0.000001), "1e-6");
  EXPECT_EQ(json_codec::format_double(1.2345e-7), "1.2345e-7");
  EXPECT_EQ(json_codec::format_double(18446744073709551616.0), "1.8446744073709552e19");
  EXPECT_EQ(json_codec::format_double(5e-324), "5e-324");
}

TEST(JsonWriting, ValuesAreWrittenCompactly) {
  std::string out;
  const auto value = nlohmann::json::parse(R"({"b":[1,-2,0.5,null,true],"a":{"s":"x\ny"}})");
  ASSERT_TRUE(json_codec::append_value(out, value).has_value());
  EXPECT_EQ(out, R"({"a":{"s":"x\ny"},"b":[1,-2,0.5,null,true]})");
  out.clear();
  ASSERT_TRUE(json_codec::append_value(out, nlohmann::json(std::numeric_limits<double>::infinity())).has_value());
  EXPECT_EQ(out, "null");
  out.clear();
  EXPECT_FALSE(json_codec::append_value(out, nlohmann::json::binary({1, 2})).has_value());
}

}  // namespace
}  // namespace kavel_lib::ipc

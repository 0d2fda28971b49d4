#include "json.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

// Parses `text` and writes it back compactly; a parse failure fails the test.
std::string reprint(std::string_view text) {
  auto parsed = json::parse(text);
  if (!parsed) {
    ADD_FAILURE() << "did not parse: " << text << " -> " << parsed.error();
    return {};
  }
  return json::compact(parsed.value());
}

std::string nested_arrays(int depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nested_objects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  text += "0";
  text += std::string(depth, '}');
  return text;
}

struct TextCase {
  const char* name;
  std::string text;
};

// ---- One value, and only JSON white space around it -------------------------

TEST(JsonParseTest, AcceptsOneValueWithJsonWhiteSpaceAround) {
  const TextCase cases[] = {
      {"bare object", "{}"},
      {"spaces", "  {}  "},
      {"tabs", "\t{}\t"},
      {"line feed and carriage return", "\r\n{}\r\n"},
      {"all four mixed", " \t\r\n[1] \t\r\n"},
      {"bare string", "\"x\""},
      {"bare number", "42"},
      {"null", "null"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(json::parse(c.text)) << c.name;
  }
}

TEST(JsonParseTest, RejectsEverythingButOneValueWithJsonWhiteSpaceAround) {
  const TextCase cases[] = {
      {"empty text", ""},
      {"white space only", " \t\r\n"},
      {"byte order mark before", "\xEF\xBB\xBF{}"},
      {"no-break space before", "\xC2\xA0{}"},
      {"no-break space after", "{}\xC2\xA0"},
      {"form feed before", "\f{}"},
      {"form feed after", "{}\f"},
      {"vertical tab after", "{}\v"},
      {"two values", "{} {}"},
      {"two values without space", "{}{}"},
      {"trailing garbage", "{}x"},
      {"trailing comma", "[1,]"},
      {"bare word", "hello"},
      {"truncated object", "{\"a\":"},
      {"single quotes", "{'a':1}"},
      {"comment", "{} // note"},
      {"raw control character in string", "\"a\tb\""},
      {"leading plus", "+1"},
      {"leading zero", "01"},
  };
  for (const auto& c : cases) {
    auto parsed = json::parse(c.text);
    EXPECT_FALSE(parsed) << c.name;
    if (!parsed) {
      EXPECT_FALSE(parsed.error().empty()) << c.name;
    }
  }
}

// A NUL byte is not white space; nothing after it may be ignored either.
TEST(JsonParseTest, NulByteAroundTheValueIsAnError) {
  EXPECT_FALSE(json::parse(std::string("{}\0", 3)));
  EXPECT_FALSE(json::parse(std::string("{}\0{}", 5)));
  EXPECT_FALSE(json::parse(std::string("\0{}", 3)));
}

TEST(JsonParseTest, FaultDescriptionNamesTheByte) {
  const TextCase cases[] = {
      {"trailing garbage", "{}x"},
      {"bare word", "hello"},
      {"byte order mark", "\xEF\xBB\xBF{}"},
      {"too deep", nested_arrays(128)},
  };
  for (const auto& c : cases) {
    auto parsed = json::parse(c.text);
    ASSERT_FALSE(parsed) << c.name;
    const std::string& why = parsed.error();
    auto at = why.rfind("byte ");
    ASSERT_NE(at, std::string::npos) << c.name << ": " << why;
    ASSERT_LT(at + 5, why.size()) << c.name << ": " << why;
    EXPECT_TRUE(why[at + 5] >= '0' && why[at + 5] <= '9') << c.name << ": " << why;
  }
}

TEST(JsonParseTest, DescriptionIsPlainText) {
  // The description becomes part of a response line; it must not carry line
  // breaks and must be valid UTF-8 even when the input is not.
  auto parsed = json::parse("{\"a\":\n\xFF}");
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().find('\n'), std::string::npos) << parsed.error();
}

// ---- Nesting ----------------------------------------------------------------

TEST(JsonParseTest, Accepts127NestedLevelsAndRejects128) {
  EXPECT_TRUE(json::parse(nested_arrays(127)));
  EXPECT_FALSE(json::parse(nested_arrays(128)));
  EXPECT_TRUE(json::parse(nested_objects(127)));
  EXPECT_FALSE(json::parse(nested_objects(128)));
  EXPECT_FALSE(json::parse(nested_arrays(100000)));
}

TEST(JsonParseTest, MixedNestingCountsBothKinds) {
  std::string ok;
  for (int i = 0; i < 127; ++i) ok += (i % 2 == 0) ? "[" : "{\"k\":";
  for (int i = 126; i >= 0; --i) ok += (i % 2 == 0) ? "]" : "}";
  EXPECT_TRUE(json::parse(ok));
  EXPECT_FALSE(json::parse("[" + ok + "]"));
}

TEST(JsonParseTest, BracketsInsideStringsDoNotCountAsNesting) {
  std::string text = "[\"" + std::string(200, '[') + "\\\"" + std::string(200, '{') + "\"]";
  auto parsed = json::parse(text);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed.value()[0].get<std::string>().size(), 401u);
}

TEST(JsonParseTest, SiblingContainersDoNotAddUpDepth) {
  std::string text = "[";
  for (int i = 0; i < 300; ++i) text += (i ? ",[[]]" : "[[]]");
  text += "]";
  EXPECT_TRUE(json::parse(text));
}

TEST(JsonParseTest, DuplicateKeysKeepTheLastOccurrence) {
  EXPECT_EQ(reprint(R"({"a":1,"b":2,"a":3})"), R"({"a":3,"b":2})");
  EXPECT_EQ(reprint(R"({"a":{"x":1},"a":null})"), R"({"a":null})");
}

// ---- Numbers ----------------------------------------------------------------

TEST(JsonNumberTest, NumbersAreWrittenAsHeld) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"0", "0"},
      {"7", "7"},
      {"-1", "-1"},
      {"9223372036854775807", "9223372036854775807"},
      {"9223372036854775808", "9223372036854775808"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551615", "18446744073709551615"},
      {"1e3", "1000.0"},
      {"1E3", "1000.0"},
      {"1.0", "1.0"},
      {"1.5", "1.5"},
      {"0.1", "0.1"},
      {"-2.5", "-2.5"},
      {"1e-3", "0.001"},
      {"10.0e-1", "1.0"},
      {"-0.0", "-0.0"},
      {"-0", "0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reprint(c.in), c.out) << c.in;
  }
}

TEST(JsonNumberTest, IntegerKindFollowsTheText) {
  const struct {
    const char* text;
    bool is_uint;
    bool is_signed_int;
    bool is_double;
  } cases[] = {
      {"0", true, false, false},
      {"5", true, false, false},
      {"18446744073709551615", true, false, false},
      {"18446744073709551616", false, false, true},
      {"-5", false, true, false},
      {"-0", false, true, false},
      {"-9223372036854775808", false, true, false},
      {"-9223372036854775809", false, false, true},
      {"5.0", false, false, true},
      {"5e0", false, false, true},
  };
  for (const auto& c : cases) {
    auto parsed = json::parse(c.text);
    ASSERT_TRUE(parsed) << c.text;
    const Json& v = parsed.value();
    EXPECT_EQ(json::is_uint(v), c.is_uint) << c.text;
    EXPECT_EQ(v.is_number_integer() && !v.is_number_unsigned(), c.is_signed_int) << c.text;
    EXPECT_EQ(v.is_number_float(), c.is_double) << c.text;
  }
}

TEST(JsonNumberTest, OutOfRangeIntegerBecomesARoundTrippingDouble) {
  auto parsed = json::parse("18446744073709551616");
  ASSERT_TRUE(parsed);
  ASSERT_TRUE(parsed.value().is_number_float());
  std::string text = json::compact(parsed.value());
  auto again = json::parse(text);
  ASSERT_TRUE(again) << text;
  EXPECT_EQ(again.value().get<double>(), 18446744073709551616.0) << text;
  EXPECT_EQ(text.find(' '), std::string::npos);
}

TEST(JsonNumberTest, IsUintIsFalseForNonNumbers) {
  EXPECT_FALSE(json::is_uint(Json("5")));
  EXPECT_FALSE(json::is_uint(Json(nullptr)));
  EXPECT_FALSE(json::is_uint(Json::array({1})));
}

// ---- Compact and pretty text ------------------------------------------------

TEST(JsonTextTest, CompactSortsKeysInByteOrderAndHasNoSpaces) {
  EXPECT_EQ(reprint(R"( { "b" : 1 , "a" : [ 1 , 2 ] } )"), R"({"a":[1,2],"b":1})");
  // Upper case before underscore before lower case before non-ASCII.
  EXPECT_EQ(reprint("{\"\xC3\xA9\":4,\"a\":3,\"_\":2,\"B\":1}"),
            "{\"B\":1,\"_\":2,\"a\":3,\"\xC3\xA9\":4}");
  EXPECT_EQ(reprint(R"({"ab":1,"a":2,"":3})"), R"({"":3,"a":2,"ab":1})");
  EXPECT_EQ(reprint(R"({"z":{"y":1,"x":2}})"), R"({"z":{"x":2,"y":1}})");
}

TEST(JsonTextTest, EscapesOnlyQuoteBackslashAndControlCharacters) {
  const struct {
    const char* name;
    std::string in;   // JSON text
    std::string out;  // compact text
  } cases[] = {
      {"quote and backslash", R"("a\"b\\c")", R"("a\"b\\c")"},
      {"short forms", R"("\b\f\n\r\t")", R"("\b\f\n\r\t")"},
      {"other controls lower-case hex", R"("\u0001\u001F\u000b\u0000")",
       R"("\u0001\u001f\u000b\u0000")"},
      {"slash unescaped", R"("a\/b")", R"("a/b")"},
      {"DEL written raw", R"("\u007f")", "\"\x7F\""},
      {"escaped capital A plain", R"("\u0041")", R"("A")"},
      {"non-ASCII as UTF-8", R"("\u00e9\u2014\u2192\u2318")",
       "\"\xC3\xA9\xE2\x80\x94\xE2\x86\x92\xE2\x8C\x98\""},
      {"surrogate pair as 4 bytes", R"("\ud83d\ude00")", "\"\xF0\x9F\x98\x80\""},
      {"raw UTF-8 kept", "\"\xF0\x9F\x98\x80\"", "\"\xF0\x9F\x98\x80\""},
      {"line separator raw", R"("\u2028")", "\"\xE2\x80\xA8\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reprint(c.in), c.out) << c.name;
  }
}

TEST(JsonTextTest, PrettyUsesTwoSpacesAndNoTrailingNewline) {
  auto parsed = json::parse(R"({"b":[1,{},"x\u0001"],"a":{"c":[]},"d":null})");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(json::pretty(parsed.value()),
            "{\n"
            "  \"a\": {\n"
            "    \"c\": []\n"
            "  },\n"
            "  \"b\": [\n"
            "    1,\n"
            "    {},\n"
            "    \"x\\u0001\"\n"
            "  ],\n"
            "  \"d\": null\n"
            "}");
  EXPECT_EQ(json::pretty(Json::object()), "{}");
  EXPECT_EQ(json::pretty(Json::array()), "[]");
  EXPECT_EQ(json::pretty(Json("\xC3\xA9")), "\"\xC3\xA9\"");
  auto thousand = json::parse("1e3");
  ASSERT_TRUE(thousand);
  EXPECT_EQ(json::pretty(thousand.value()), "1000.0");
}

// ---- Member access ----------------------------------------------------------

TEST(JsonAccessTest, FindNeverInsertsAndAnswersNullptrForNonObjects) {
  Json object = Json::parse(R"({"a":null})");
  ASSERT_NE(json::find(object, "a"), nullptr);
  EXPECT_TRUE(json::find(object, "a")->is_null());
  EXPECT_EQ(json::find(object, "b"), nullptr);
  EXPECT_EQ(object.size(), 1u);
  EXPECT_EQ(json::find(Json::parse("[1]"), "a"), nullptr);
  EXPECT_EQ(json::find(Json(nullptr), "a"), nullptr);
  EXPECT_EQ(json::get_or(object, "a", 5), Json(nullptr));
  EXPECT_EQ(json::get_or(object, "b", 5), Json(5));
  EXPECT_EQ(json::get_or(Json("s"), "a", "x"), Json("x"));
}

// ---- UTF-8 ------------------------------------------------------------------

TEST(Utf8Test, StrictBoundaries) {
  const struct {
    const char* name;
    std::string bytes;
    bool valid;
  } cases[] = {
      {"empty", "", true},
      {"ASCII", "plain text", true},
      {"NUL byte", std::string("a\0b", 3), true},
      {"U+007F", "\x7F", true},
      {"U+0080", "\xC2\x80", true},
      {"U+07FF", "\xDF\xBF", true},
      {"overlong NUL", "\xC0\x80", false},
      {"overlong 2-byte C1", "\xC1\xBF", false},
      {"U+0800", "\xE0\xA0\x80", true},
      {"overlong 3-byte", "\xE0\x9F\xBF", false},
      {"U+D7FF", "\xED\x9F\xBF", true},
      {"surrogate U+D800", "\xED\xA0\x80", false},
      {"surrogate U+DFFF", "\xED\xBF\xBF", false},
      {"encoded surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", false},
      {"U+E000", "\xEE\x80\x80", true},
      {"U+FFFF", "\xEF\xBF\xBF", true},
      {"overlong 4-byte", "\xF0\x8F\xBF\xBF", false},
      {"U+10000", "\xF0\x90\x80\x80", true},
      {"emoji", "\xF0\x9F\x98\x80", true},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", true},
      {"U+110000", "\xF4\x90\x80\x80", false},
      {"F5 lead", "\xF5\x80\x80\x80", false},
      {"FF", "\xFF", false},
      {"FE", "\xFE", false},
      {"lone continuation", "\x80", false},
      {"continuation after ASCII", "a\xBF", false},
      {"truncated 2-byte", "\xC2", false},
      {"truncated 3-byte", "\xE2\x82", false},
      {"truncated 4-byte", "\xF0\x9F\x98", false},
      {"ASCII where continuation expected", "\xC2\x41", false},
      {"bad second of three", "\xE2\x28\xA1", false},
      {"bad third of three", "\xE2\x82\x28", false},
      {"bad fourth of four", "\xF0\x9F\x98\x28", false},
      {"truncated after eight ASCII", "abcdefgh\xC2", false},
      {"truncated after seven ASCII", "abcdefg\xE2\x82", false},
      {"valid after seven ASCII", "abcdefg\xE2\x82\xAC", true},
      {"valid then ASCII run",
       "\xC2\x80"
       "abcdefghijklmnop",
       true},
      {"invalid deep in a long run", std::string(1000, 'a') + "\xFF" + std::string(7, 'b'), false},
      {"no-break space", "\xC2\xA0", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json::is_utf8(c.bytes), c.valid) << c.name;
  }
}

}  // namespace

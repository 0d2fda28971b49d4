#include "json.h"

#include <string>
#include <string_view>
#include <vector>

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

std::string nested(int depth, std::string_view open, char close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  return text + (close == '}' ? "0" : "") + std::string(depth, close);
}

// `depth` levels alternating arrays and objects.
std::string mixed(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += (i % 2 == 0) ? "[" : "{\"k\":";
  for (int i = depth - 1; i >= 0; --i) text += (i % 2 == 0) ? "]" : "}";
  return text;
}

TEST(JsonParseTest, AcceptsOneValueWithOnlyJsonWhiteSpaceAroundAndNestingUpTo127Levels) {
  std::string siblings = "[";
  for (int i = 0; i < 300; ++i) siblings += (i ? ",[[]]" : "[[]]");
  siblings += "]";
  const std::string brackets =
      "[\"" + std::string(200, '[') + "\\\"" + std::string(200, '{') + "\"]";
  const std::string built[] = {nested(127, "[", ']'), nested(127, "{\"a\":", '}'), mixed(127),
                               siblings, brackets};
  for (const std::string& text : built) EXPECT_TRUE(json::parse(text)) << text;
  for (const char* text : {"  {}  ", " \t\r\n[1] \t\r\n", "\"x\"", "42"}) {
    EXPECT_TRUE(json::parse(text)) << text;
  }
}

TEST(JsonParseTest, RejectsAllElseWithAOneLineDescriptionNamingTheByte) {
  auto check = [](const std::string& text) {
    SCOPED_TRACE(text);
    auto parsed = json::parse(text);
    ASSERT_FALSE(parsed);
    const std::string& why = parsed.error();
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    auto at = why.rfind("(at byte ");
    ASSERT_NE(at, std::string::npos) << why;
    EXPECT_TRUE(why[at + 9] >= '0' && why[at + 9] <= '9') << why;
  };
  for (const char* text : {"", " \t\r\n", "\xEF\xBB\xBF{}", "\xC2\xA0{}", "{}\xC2\xA0", "\f{}",
                           "{}\v", "{} {}", "{}{}", "{}x", "[1,]", "hello", "{\"a\":", "{'a':1}",
                           "{} // note", "\"a\tb\"", "+1", "01", "{\"a\":\n\xFF}"}) {
    check(text);
  }
  const std::string built[] = {std::string("{}\0", 3),
                               std::string("{}\0{}", 5),
                               std::string("\0{}", 3),
                               nested(128, "[", ']'),
                               nested(128, "{\"a\":", '}'),
                               nested(100000, "[", ']'),
                               mixed(128)};
  for (const std::string& text : built) check(text);

  // Whatever the input, a description names one character at most.
  const std::string huge[] = {"[\"" + std::string(1 << 20, 'b'),
                              "{\"id\":" + std::string(1 << 20, '1') + "}",
                              "{\"id\":" + std::string(1 << 20, '1') + "x}",
                              std::string(1 << 20, 't'), nested(1 << 20, "[", ']')};
  for (const std::string& text : huge) EXPECT_LT(json::parse(text).error().size(), 200u);
  EXPECT_EQ(json::parse("{} \xC2\xA0").error(),
            "unexpected character U+00A0 after the value (at byte 4)");
}

TEST(JsonTextTest, CompactWritesNumbersAsHeldSortedKeysAndMinimalEscapes) {
  const struct {
    std::string in;   // JSON text
    std::string out;  // compact text
  } cases[] = {
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e19"},
      {"1E3", "1000.0"},
      {"1e16", "1e16"},
      {"1e-7", "1e-7"},
      {"5e-324", "5e-324"},
      {"0.1", "0.1"},
      {"10.0e-1", "1.0"},
      {"-0.0", "-0.0"},
      {"-0", "0"},
      {R"( { "b" : 1 , "a" : [ 1 , 2 ] } )", R"({"a":[1,2],"b":1})"},
      {"{\"\xC3\xA9\":4,\"a\":3,\"_\":2,\"B\":1,\"\":0}",
       "{\"\":0,\"B\":1,\"_\":2,\"a\":3,\"\xC3\xA9\":4}"},
      {R"({"z":{"y":1,"x":2}})", R"({"z":{"x":2,"y":1}})"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},  // the last duplicate wins
      {R"("a\"b\\c\/d")", R"("a\"b\\c/d")"},
      {R"("\b\f\n\r\t")", R"("\b\f\n\r\t")"},
      {R"("\u0001\u001F\u000b\u0000")", R"("\u0001\u001f\u000b\u0000")"},
      {R"("\u007f\u0041")",
       "\"\x7F"
       "A\""},
      {R"("\u00e9\u2028\ud83d\ude00")", "\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""},
      {"\"\xF0\x9F\x98\x80\"", "\"\xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) EXPECT_EQ(reprint(c.in), c.out) << c.in;
}

TEST(JsonNumberTest, IntegerKindFollowsTheText) {
  const struct {
    const char* text;
    bool is_uint;
    bool is_signed_int;
  } cases[] = {
      {"0", true, false},
      {"18446744073709551615", true, false},
      {"18446744073709551616", false, false},
      {"-0", false, true},
      {"-9223372036854775808", false, true},
      {"-9223372036854775809", false, false},
      {"5.0", false, false},
      {"5e0", false, false},
  };
  for (const auto& c : cases) {
    auto parsed = json::parse(c.text);
    ASSERT_TRUE(parsed) << c.text;
    const Json& v = parsed.value();
    EXPECT_EQ(v.is_number_unsigned(), c.is_uint) << c.text;
    EXPECT_EQ(v.is_number_integer() && !v.is_number_unsigned(), c.is_signed_int) << c.text;
    EXPECT_EQ(v.is_number_float(), !c.is_uint && !c.is_signed_int) << c.text;
  }
  EXPECT_EQ(json::parse("1.8446744073709552e+19").value().get<double>(), 18446744073709551616.0);
}

TEST(Utf8Test, StrictBoundaries) {
  // U+0000, U+007F, U+0080, U+07FF, U+0800, U+D7FF, U+E000, U+10000, U+10FFFF
  const std::string valid[] = {std::string("a\0\x7F", 3),  "\xC2\x80\xDF\xBF", "\xE0\xA0\x80",
                               "\xED\x9F\xBF\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF",
                               "abcdefg\xE2\x82\xAC"};
  // Overlong forms, surrogates, past U+10FFFF, bad leads, bad or missing continuations.
  const std::string invalid[] = {"\xC1\xBF",
                                 "\xE0\x9F\xBF",
                                 "\xF0\x8F\xBF\xBF",
                                 "\xED\xA0\x80",
                                 "\xED\xBF\xBF",
                                 "\xF4\x90\x80\x80",
                                 "\xF5\x80\x80\x80",
                                 "\xFE",
                                 "a\xBF",
                                 "\xC2\x41",
                                 "\xF0\x9F\x98\x28",
                                 "abcdefgh\xC2",
                                 "abcdefg\xE2\x82",
                                 std::string(1000, 'a') + "\xFF" + "bbbbbbb"};
  for (const std::string& bytes : valid) EXPECT_TRUE(json::is_utf8(bytes)) << bytes;
  for (const std::string& bytes : invalid) EXPECT_FALSE(json::is_utf8(bytes)) << bytes;
  EXPECT_FALSE(json::is_utf8(std::string(1000, 'a') + "\xFF" + "bbbbbbb"));
  // Text read from a socket has no terminator: nothing past its end is read.
  for (std::size_t size : {8u, 32u, 64u, 40u}) {
    std::vector<char> exact(size, 'a');
    EXPECT_TRUE(json::is_utf8(std::string_view(exact.data(), exact.size()))) << size;
  }
}

}  // namespace

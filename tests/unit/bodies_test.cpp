#include "tools/bodies.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tools::base64_decode;
using tools::body_field;
using tools::omitted_body;

Json response_body(std::uint64_t limit, const Json& detail) {
  return body_field(detail, "respBodyB64", "respBodyMeta", "respHeaders", limit);
}

// A detail carrying one response body of `b64` with metadata `meta`.
Json detail_with(const std::string& b64, Json meta = Json::object()) {
  Json detail = Json::object();
  detail["respBodyB64"] = b64;
  detail["respBodyMeta"] = std::move(meta);
  return detail;
}

struct DecodeCase {
  const char* text;
  bool ok;
  std::string bytes;
};

TEST(Base64DecodeTest, AcceptsOnlyStrictCanonicalText) {
  const DecodeCase cases[] = {
      {"", true, ""},
      {"aGk=", true, "hi"},
      {"aGVsbG8=", true, "hello"},
      {"aA==", true, "h"},
      {"aGVs", true, "hel"},
      {"+/8=", true, "\xFB\xFF"},
      {"AAAA", true, std::string(3, '\0')},
      {"aGk", false, ""},         // padding missing
      {"aA=", false, ""},         // padding short
      {"aGk==", false, ""},       // too much padding
      {"aB==", false, ""},        // unused bits not zero
      {"aGl=", false, ""},        // unused bits not zero
      {"aG k=", false, ""},       // space
      {"aGVs\nbG8=", false, ""},  // line break
      {"aGk=\n", false, ""},      // trailing line break
      {"aG-_", false, ""},        // URL-safe alphabet
      {"a===", false, ""},        // one symbol cannot carry a byte
      {"====", false, ""},
      {"aA==aGk=", false, ""},  // padding inside
      {"aG=k", false, ""},
      {"aGk\x80", false, ""},
  };
  for (const auto& c : cases) {
    auto decoded = base64_decode(c.text);
    EXPECT_EQ(decoded.has_value(), c.ok) << c.text;
    if (c.ok && decoded) {
      EXPECT_EQ(*decoded, c.bytes) << c.text;
    }
  }
}

TEST(OmittedBodyTest, ShowsTheNoteAndTheCoreTotalWithoutLookingAtBytes) {
  Json detail = detail_with("aGk=", Json::parse(R"({"total": 5000})"));
  Json record = omitted_body(detail, "respBodyMeta");
  EXPECT_EQ(json::compact(record),
            "{\"note\":\"omitted by default \u2014 pass include_bodies: true to include (bodies "
            "are never masked)\",\"size\":5000}");
  EXPECT_EQ(record["note"].get<std::string>().size(), 85u);
}

TEST(OmittedBodyTest, SizeIsZeroWithoutMetadataAndKeepsAnyTotalType) {
  EXPECT_EQ(omitted_body(Json::object(), "reqBodyMeta")["size"], Json(0));
  EXPECT_EQ(omitted_body(Json::parse(R"({"reqBodyMeta": 3})"), "reqBodyMeta")["size"], Json(0));
  EXPECT_EQ(omitted_body(Json("nope"), "reqBodyMeta")["size"], Json(0));
  EXPECT_EQ(omitted_body(Json::parse(R"({"reqBodyMeta": {"total": "12"}})"), "reqBodyMeta")["size"],
            Json("12"));
  EXPECT_EQ(omitted_body(Json::parse(R"({"reqBodyMeta": {"total": null}})"), "reqBodyMeta")["size"],
            Json(nullptr));
}

TEST(BodyFieldTest, DroppedWinsOverPresentBytes) {
  Json detail = detail_with("aGk=", Json::parse(R"({"dropped": true, "total": 9})"));
  EXPECT_EQ(json::compact(response_body(100, detail)),
            R"({"note":"dropped by memory budget","size":9})");
}

TEST(BodyFieldTest, OnlyBooleanTrueCountsAsDropped) {
  Json detail = detail_with("aGk=", Json::parse(R"({"dropped": "true", "total": 2})"));
  EXPECT_EQ(response_body(100, detail)["text"], "hi");
}

TEST(BodyFieldTest, NoUsableBytesGiveTheEmptyRecordWhateverTheTotal) {
  Json meta = Json::parse(R"({"total": 5000, "truncated": true})");
  const Json details[] = {
      detail_with("", meta),
      detail_with("aGk", meta),         // padding missing
      detail_with("aGVs\nbG8=", meta),  // line break
      Json::parse(R"({"respBodyB64": 42, "respBodyMeta": {"total": 5000}})"),
      Json::parse(R"({"respBodyMeta": {"total": 5000}})"),
      Json::array(),
  };
  for (const Json& detail : details) {
    EXPECT_EQ(json::compact(response_body(100, detail)), R"({"size":0})") << detail;
  }
}

struct CutCase {
  std::string body;
  std::uint64_t limit;
  std::string text;
  bool truncated;
};

std::string to_b64(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[group >> 18];
    out += alphabet[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
  }
  return out;
}

TEST(BodyFieldTest, TextIsCutAtACharacterBoundaryWithinTheLimit) {
  const std::string hello = "h\u00E9llo";    // six bytes
  const std::string emoji = "a\U0001F600b";  // 1 + 4 + 1 bytes
  const CutCase cases[] = {
      {hello, 2, "h", true},
      {hello, 3, "h\u00E9", true},
      {hello, 0, "", true},
      {hello, 6, hello, false},
      {hello, 7, hello, false},
      {emoji, 1, "a", true},
      {emoji, 2, "a", true},
      {emoji, 4, "a", true},
      {emoji, 5, "a\U0001F600", true},
      {"\U0001F600", 3, "", true},
      {std::string("a\0\x01z", 4), 10, std::string("a\0\x01z", 4), false},  // controls are text
  };
  for (const auto& c : cases) {
    Json record =
        response_body(c.limit, detail_with(to_b64(c.body), Json::parse(R"({"total": 77})")));
    EXPECT_EQ(record["text"], c.text) << c.body << " limit " << c.limit;
    EXPECT_EQ(record["truncated"], c.truncated) << c.body << " limit " << c.limit;
    EXPECT_EQ(record["original_size"], Json(77)) << "the core's count, not the decoded length";
  }
}

TEST(BodyFieldTest, StoredTruncationMarksEvenAWholeText) {
  Json detail = detail_with("aGk=", Json::parse(R"({"total": "2+", "truncated": true})"));
  EXPECT_EQ(json::compact(response_body(100, detail)),
            R"({"original_size":"2+","text":"hi","truncated":true})");
}

TEST(BodyFieldTest, InvalidUtf8IsBinaryWithTheFirstStringContentType) {
  Json detail = Json::parse(R"({
    "respBodyB64": "iVBORw==",
    "respBodyMeta": {"total": 4, "truncated": true},
    "respHeaders": [
      "junk",
      ["Content-Type"],
      ["content-type ", "text/plain"],
      ["CONTENT-TYPE", 7],
      ["Content-Type", "image/png"],
      ["content-type", "text/html"]
    ]
  })");
  EXPECT_EQ(
      json::compact(response_body(100, detail)),
      R"({"content_type":"image/png","note":"binary body omitted","size":4,"truncated":true})");
}

TEST(BodyFieldTest, BinaryWithoutUsableHeadersHasEmptyContentType) {
  for (const char* headers : {R"([])", R"("content-type: a/b")", R"([["X-Type", "a/b"]])"}) {
    Json detail = detail_with("/w==");
    detail["respHeaders"] = Json::parse(headers);
    Json record = response_body(100, detail);
    EXPECT_EQ(record["content_type"], "") << headers;
    EXPECT_EQ(record["truncated"], false) << headers;
    EXPECT_EQ(record["size"], Json(0)) << headers;
  }
}

TEST(BodyFieldTest, MetadataOfTheWrongShapeTakesDefaults) {
  Json detail = Json::parse(R"({"respBodyB64": "aGk=", "respBodyMeta": [1, 2]})");
  EXPECT_EQ(json::compact(response_body(1, detail)),
            R"({"original_size":0,"text":"h","truncated":true})");
}

}  // namespace

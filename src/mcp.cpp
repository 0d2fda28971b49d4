#include "mcp.h"

#include <array>

namespace mcp {
namespace {

// Newest first. A client that names none gets kDefaultVersion; one that names
// a version we don't know gets the newest.
constexpr std::array<std::string_view, 4> kProtocolVersions = {"2025-11-25", "2025-06-18",
                                                               "2025-03-26", "2024-11-05"};
constexpr std::string_view kDefaultVersion = "2025-06-18";

constexpr std::int64_t kParseError = -32700;
constexpr std::int64_t kInvalidRequest = -32600;
constexpr std::int64_t kMethodNotFound = -32601;

std::string_view negotiate_version(const std::optional<Json>& params) {
  const Json* requested = params ? json::find(*params, "protocolVersion") : nullptr;
  if (requested == nullptr || !requested->is_string()) return kDefaultVersion;
  const auto& text = requested->get_ref<const std::string&>();
  for (auto version : kProtocolVersions) {
    if (text == version) return version;
  }
  return kProtocolVersions.front();
}

Json initialize_result(std::string_view version) {
  return {{"capabilities", {{"tools", Json::object()}}},
          {"protocolVersion", version},
          {"serverInfo", {{"name", kServerName}, {"version", kServerVersion}}}};
}

}  // namespace

std::string error_response(Json id, std::int64_t code, std::string_view message) {
  Json response = {
      {"error", {{"code", code}, {"message", message}}}, {"id", std::move(id)}, {"jsonrpc", "2.0"}};
  return json::compact(response);
}

std::string lost_line_response() {
  return error_response(nullptr, kParseError, "parse error: line too long to hold in memory");
}

std::string result_response(Json id, const Json& result) {
  Buffer out;
  append_result_response(out, id, [&] { out.append(json::compact(result)); });
  return std::string(out.view());
}

namespace {

// ping, initialize, or -32601 for any other method.
std::string protocol_response(Json id, std::string_view method, const std::optional<Json>& params) {
  if (method == "ping") return result_response(std::move(id), Json::object());
  if (method == "initialize") {
    return result_response(std::move(id), initialize_result(negotiate_version(params)));
  }
  return error_response(std::move(id), kMethodNotFound, "method not found: " + std::string(method));
}

}  // namespace

Classified classify(std::string_view line) {
  auto parsed = json::parse(line);
  if (!parsed) return Reply{error_response(nullptr, kParseError, "parse error: " + parsed.error())};
  Json& message = parsed.value();

  const Json* id = json::find(message, "id");
  if (id == nullptr) return NoReply{};
  if (!id->is_string() && !id->is_number()) {
    return Reply{
        error_response(nullptr, kInvalidRequest, "invalid request: id must be a string or number")};
  }

  const Json* version = json::find(message, "jsonrpc");
  if (version == nullptr || !version->is_string() || *version != "2.0") {
    return Reply{error_response(*id, kInvalidRequest, "invalid request: missing jsonrpc \"2.0\"")};
  }
  const Json* method_member = json::find(message, "method");
  if (method_member == nullptr || !method_member->is_string()) {
    return Reply{error_response(*id, kInvalidRequest, "invalid request: missing method")};
  }
  const auto& method = method_member->get_ref<const std::string&>();
  if (method.starts_with("notifications/")) {
    return Reply{error_response(*id, kInvalidRequest,
                                "invalid request: notifications must not carry an id")};
  }

  const Json* params = json::find(message, "params");
  if (method == "tools/list" || method == "tools/call") {
    return ToolRequest{method, *id, params ? *params : Json()};
  }
  std::optional<Json> given;
  if (params) given = *params;
  return Reply{protocol_response(*id, method, given)};
}

}  // namespace mcp

#include "tools/validate.h"

#include <array>

namespace tools {
namespace {

enum class Kind { Uint, String, Bool };

struct ArgType {
  std::string_view key;
  Kind kind;
};

// Every argument any tool knows, with the one type it must have wherever it appears.
constexpr std::array kArgTypes{
    ArgType{"limit", Kind::Uint},         ArgType{"flow_id", Kind::Uint},
    ArgType{"since_seq", Kind::Uint},     ArgType{"max_body_bytes", Kind::Uint},
    ArgType{"host", Kind::String},        ArgType{"path_contains", Kind::String},
    ArgType{"method", Kind::String},      ArgType{"status", Kind::String},
    ArgType{"level", Kind::String},       ArgType{"expression", Kind::String},
    ArgType{"page_handle", Kind::String}, ArgType{"include_bodies", Kind::Bool},
    ArgType{"newest_first", Kind::Bool},
};

struct Required {
  std::string_view tool;
  std::string_view key;
  Kind kind;
  std::string_view message;
};

// In checking order within each tool.
constexpr std::array kRequired{
    Required{"get_flow", "flow_id", Kind::Uint, "missing required argument: flow_id (integer)"},
    Required{"evaluate_js", "page_handle", Kind::String,
             "missing required argument: page_handle (string)"},
    Required{"evaluate_js", "expression", Kind::String,
             "missing required argument: expression (string)"},
    Required{"get_console_messages", "page_handle", Kind::String,
             "missing required argument: page_handle (string)"},
};

bool has_kind(const Json& value, Kind kind) {
  return kind == Kind::Uint     ? json::is_uint(value)
         : kind == Kind::String ? value.is_string()
                                : value.is_boolean();
}

std::string type_message(std::string_view key, Kind kind) {
  constexpr std::string_view kMustBe[] = {"a non-negative integer", "a string", "a boolean"};
  return "argument " + std::string(key) + " must be " +
         std::string(kMustBe[static_cast<int>(kind)]);
}

const ArgType* arg_type(std::string_view key) {
  for (const ArgType& type : kArgTypes) {
    if (type.key == key) return &type;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> check_args(std::string_view tool, const Json& args) {
  if (!args.is_object()) return "arguments must be an object";
  // Objects iterate in ascending key order, so the first bad key reported is the lowest.
  for (const auto& [key, value] : args.items()) {
    const ArgType* type = arg_type(key);
    if (type != nullptr && !has_kind(value, type->kind)) return type_message(key, type->kind);
  }
  for (const Required& req : kRequired) {
    if (req.tool != tool) continue;
    const Json* value = json::find(args, req.key);
    if (value == nullptr || !has_kind(*value, req.kind)) return std::string(req.message);
  }
  return std::nullopt;
}

}  // namespace tools

#include "tools/validate.h"

#include "tools/tool.h"

namespace tools {
namespace {

bool has_type(const Json& value, Type type) {
  return type == Type::Integer  ? value.is_number_unsigned()
         : type == Type::String ? value.is_string()
                                : value.is_boolean();
}

std::string_view type_text(Type type) {
  constexpr std::string_view kMustBe[] = {"a non-negative integer", "a string", "a boolean"};
  return kMustBe[static_cast<int>(type)];
}

}  // namespace

std::optional<std::string> check_args(std::string_view tool, const Json& args) {
  if (!args.is_object()) return "arguments must be an object";
  // Every argument any tool knows has its type wherever it appears. Objects
  // iterate in ascending key order, so the first bad key reported is the lowest.
  for (const auto& [key, value] : args.items()) {
    const Argument* arg = find_argument(key);
    if (arg != nullptr && !has_type(value, arg->type)) {
      return "argument " + key + " must be " + std::string(type_text(arg->type));
    }
  }
  const Tool* row = find_tool(tool);
  if (row == nullptr) return std::nullopt;  // the dispatcher names it unknown
  for (const Argument& arg : row->arguments) {
    if (!arg.rules.required) continue;
    const Json* value = json::find(args, arg.name);
    if (value == nullptr || !has_type(*value, arg.type)) {
      return "missing required argument: " + std::string(arg.name) + " (" +
             std::string(type_name(arg.type)) + ")";
    }
  }
  return std::nullopt;
}

}  // namespace tools

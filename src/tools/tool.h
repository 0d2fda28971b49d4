// What a tool is: one row of the table in tools.cpp. tools/list, argument
// checking, routing, the core request's params and whether it may be resent
// are all read from the rows; a tool's own code is its writer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"
#include "upstream.h"

namespace tools {

enum class Type { Integer, String, Boolean };  // an integer is never negative
// As an input schema names it.
constexpr std::string_view type_name(Type type) {
  return type == Type::Integer ? "integer" : type == Type::String ? "string" : "boolean";
}

// What an argument must be beyond its type; most need none of it.
struct Rules {
  bool required = false;
  std::optional<std::uint64_t> default_number = {};
  std::optional<bool> default_flag = {};
  std::optional<std::uint64_t> maximum = {};  // larger numbers are taken as this
  std::array<std::string_view, 5> choices = {};
};

struct Argument {
  std::string_view name;  // empty: no argument (the row's list ends)
  Type type = Type::String;
  // The core parameter it becomes, sent when given (or when it has a
  // default); empty for an argument the writer reads instead.
  std::string_view core_name = {};
  std::string_view description = {};
  Rules rules = {};
};

class Args;
// Writes the result from the core's answer, read into `tape` (`answer` is the
// node of its "result", or kNone when it has none). Only the flow detail's
// writer changes the tape: it decodes bodies where they were read.
using Writer = void (*)(const Args& args, json::Tape& tape, std::uint32_t answer,
                        json::EmbeddedPretty& out);

struct Tool {
  std::string_view name;
  std::string_view description;
  std::array<Argument, 6> arguments;
  std::string_view core_method;
  // Whether a request that may have reached the core can be sent again.
  Resend resend = Resend::Safe;
  // The core request's params, when a row makes them itself; otherwise the
  // arguments' core names and defaults make them (none for a tool without
  // arguments: the request then carries no params).
  Json (*params)(const Args& args) = nullptr;
  Writer write = nullptr;
};

// The catalogue tools/list answers: each tool's name, description and input
// schema, a fresh copy on every call.
Json tool_specs();

// Every tool, in the order tools/list gives them.
std::span<const Tool> all_tools();
const Tool* find_tool(std::string_view name);
// The argument `name` as any tool declares it: one type wherever it appears.
const Argument* find_argument(std::string_view name);

// A call's arguments (checked) read through its tool's row: what was given,
// else the row's default, numbers no larger than the row's maximum.
class Args {
 public:
  Args(const Tool& tool, const Json& given) : tool_(tool), given_(given) {}

  const Json* given(std::string_view name) const { return json::find(given_, name); }
  std::uint64_t number(std::string_view name) const;
  bool flag(std::string_view name) const;
  // The core params the arguments make by themselves (see Argument): null,
  // for a request without params, when none of them has a core name.
  Json core_params() const;

 private:
  const Argument& declared(std::string_view name) const;

  const Tool& tool_;
  const Json& given_;
};

}  // namespace tools

#include "tools/dispatch.h"

#include <array>
#include <new>

#include "mcp.h"
#include "tools/catalogue.h"
#include "tools/failure_texts.h"
#include "tools/flows.h"
#include "tools/inspector.h"
#include "tools/status.h"
#include "tools/validate.h"

namespace tools {
namespace {

constexpr std::int64_t kInvalidParams = -32602;

void append(Buffer& out, const std::string& text) {
  out.append(std::string_view(text));
}

// A tool result: its one text, which `write_text` appends already escaped,
// in the envelope that JSON-RPC and MCP put around it.
template <class WriteText>
void append_result(Buffer& out, const Json& id, bool is_error, WriteText write_text) {
  out.append(R"({"id":)");
  append(out, json::compact(id));
  out.append(R"(,"jsonrpc":"2.0","result":{"content":[{"text":")");
  write_text();
  out.append(is_error ? R"(","type":"text"}],"isError":true}})"
                      : R"(","type":"text"}],"isError":false}})");
}

// The tool result that reports a failed call in its one sentence.
void append_failure(Buffer& out, const Json& id, const UpstreamError& error) {
  append_result(out, id, true, [&] {
    std::string quoted = json::compact(upstream_err_text(error));
    out.append(std::string_view(quoted).substr(1, quoted.size() - 2));  // without its quotes
  });
}

Json no_params(const Json&) {
  return nullptr;
}

struct Route {
  std::string_view tool;
  const char* core_method;
  Json (*params)(const Json& args);  // null params: the request carries no "params"
  // Writes the result straight from the reply read into a tape, which only
  // get_flow changes (it decodes bodies in place).
  void (*write)(const Json& args, json::Tape& tape, std::uint32_t answer,
                json::EmbeddedPretty& out);
};

// A writer that only reads the tape, in a route.
template <void (*write)(const Json&, const json::Tape&, std::uint32_t, json::EmbeddedPretty&)>
void reads(const Json& args, json::Tape& tape, std::uint32_t answer, json::EmbeddedPretty& out) {
  write(args, tape, answer, out);
}

// Every tool, in catalogue order: one core method each, called exactly once.
const std::array kRoutes{
    Route{"list_flows", "flow.list", list_flows_params, reads<list_flows_write>},
    Route{"get_flow", "flow.getDetail", get_flow_params, get_flow_write},
    Route{"get_capture_status", "mcp.status", no_params, reads<capture_status_write>},
    Route{"get_findings", "findings.get", no_params, reads<findings_write>},
    Route{"list_pages", "wir.snapshot", no_params, reads<list_pages_write>},
    Route{"get_console_messages", "wir.consoleMessages", console_messages_params,
          reads<console_messages_write>},
    Route{"evaluate_js", "wir.evaluate", evaluate_js_params, reads<evaluate_js_write>},
};

const Route* find_route(std::string_view tool) {
  for (const Route& route : kRoutes) {
    if (route.tool == tool) return &route;
  }
  return nullptr;
}

// The tool-result response for `route`'s call, appended to `out`. An answer
// too large to hold ends in dispatch_into's std::bad_alloc handler.
void run(Buffer& out, CoreLink& core, const Route& route, const Json& id, const Json& args) {
  AnswerResult answer = core.call(route.core_method, route.params(args));
  if (!answer) return append_failure(out, id, answer.error());
  std::size_t start = out.size();
  json::EmbeddedPretty text(out, [&core] { return core.past_deadline(); });
  append_result(out, id, false,
                [&] { route.write(args, answer.value().tape(), answer.value().node(), text); });
  if (text.stopped() || core.past_deadline()) {
    // Shaping an enormous answer took the call past its limit.
    out.resize(start);
    append_failure(out, id, UpstreamError::deadline_exceeded());
  }
}

void call_tool(Buffer& out, CoreLink& core, Json id, const Json& params) {
  const Json* name_member = json::find(params, "name");
  const std::string name = name_member != nullptr && name_member->is_string()
                               ? name_member->get<std::string>()
                               : std::string();
  const Json args = json::get_or(params, "arguments", Json::object());

  // Arguments are judged before the name, so bad arguments to an unknown tool
  // are reported as bad arguments.
  if (std::optional<std::string> problem = check_args(name, args)) {
    return append(out, mcp::error_response(std::move(id), kInvalidParams, *problem));
  }
  const Route* route = find_route(name);
  if (route == nullptr) {
    return append(out, mcp::error_response(std::move(id), kInvalidParams, "unknown tool: " + name));
  }
  run(out, core, *route, id, args);
}

}  // namespace

void dispatch_into(Buffer& out, CoreLink& core, std::string_view method, Json id, Json params) {
  if (method == "tools/list") {
    return append(out, mcp::result_response(std::move(id), Json{{"tools", tool_specs()}}));
  }
  const std::size_t start = out.size();
  Json kept_id = id;  // for the answer when memory runs out
  try {
    call_tool(out, core, std::move(id), params);
  } catch (const std::bad_alloc&) {
    // Too large to take apart or to answer in memory: the call fails, the
    // session goes on.
    out.resize(start);
    append_failure(out, kept_id, UpstreamError::deadline_exceeded());
  }
}

std::string dispatch(CoreLink& core, std::string_view method, Json id, Json params) {
  Buffer out;
  dispatch_into(out, core, method, std::move(id), std::move(params));
  return std::string(out.view());
}

}  // namespace tools

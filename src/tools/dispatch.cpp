#include "tools/dispatch.h"

#include <new>

#include "mcp.h"
#include "tools/failure_texts.h"
#include "tools/tool.h"
#include "tools/validate.h"

namespace tools {
namespace {

constexpr std::int64_t kInvalidParams = -32602;

// A tool result: its one text, which `write_text` appends already escaped,
// in the envelope MCP puts around it.
template <class WriteText>
void append_tool_result(Buffer& out, const Json& id, bool is_error, WriteText write_text) {
  mcp::append_result_response(out, id, [&] {
    out.append(R"({"content":[{"text":")");
    write_text();
    out.append(is_error ? R"(","type":"text"}],"isError":true})"
                        : R"(","type":"text"}],"isError":false})");
  });
}

// The tool result that reports a failed call in its one sentence.
void append_failure(Buffer& out, const Json& id, const UpstreamError& error) {
  append_tool_result(out, id, true, [&] { out.append(json::escaped(upstream_err_text(error))); });
}

// The tool-result response for `tool`'s call, appended to `out`. An answer
// too large to hold ends in dispatch()'s std::bad_alloc handler.
void run(Buffer& out, Upstream& upstream, const Tool& tool, const Json& id, const Args& args) {
  const Json params = tool.params ? tool.params(args) : args.core_params();
  AnswerResult answer = upstream.call(std::string(tool.core_method), params, tool.resend);
  if (!answer) return append_failure(out, id, answer.error());
  const std::size_t start = out.size();
  json::EmbeddedPretty text(out, [&upstream] { return upstream.past_deadline(); });
  append_tool_result(out, id, false,
                     [&] { tool.write(args, answer.value().tape(), answer.value().node(), text); });
  if (text.stopped() || upstream.past_deadline()) {
    // Shaping an enormous answer took the call past its limit.
    out.resize(start);
    append_failure(out, id, UpstreamError::deadline_exceeded());
  }
}

void call_tool(Buffer& out, Upstream& upstream, Json id, const Json& params) {
  const Json* name_member = json::find(params, "name");
  const std::string name = name_member != nullptr && name_member->is_string()
                               ? name_member->get<std::string>()
                               : std::string();
  const Json arguments = json::get_or(params, "arguments", Json::object());

  // Arguments are judged before the name, so bad arguments to an unknown tool
  // are reported as bad arguments.
  if (std::optional<std::string> problem = check_args(name, arguments)) {
    return out.append(mcp::error_response(std::move(id), kInvalidParams, *problem));
  }
  const Tool* tool = find_tool(name);
  if (tool == nullptr) {
    return out.append(mcp::error_response(std::move(id), kInvalidParams, "unknown tool: " + name));
  }
  run(out, upstream, *tool, id, Args(*tool, arguments));
}

}  // namespace

void dispatch(Buffer& out, Upstream& upstream, std::string_view method, Json id, Json params) {
  if (method == "tools/list") {
    return out.append(mcp::result_response(std::move(id), Json::object({{"tools", tool_specs()}})));
  }
  const std::size_t start = out.size();
  Json kept_id = id;  // for the answer when memory runs out
  try {
    call_tool(out, upstream, std::move(id), params);
  } catch (const std::bad_alloc&) {
    // Too large to take apart or to answer in memory: the call fails, the
    // session goes on.
    out.resize(start);
    append_failure(out, kept_id, UpstreamError::too_large());
  }
}

}  // namespace tools

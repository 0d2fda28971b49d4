// The seven tools, one row each: what the agent is told, the arguments, the
// core method and the writer. Everything else about a tool is read from here.
#include <algorithm>

#include "tools/findings.h"
#include "tools/flows.h"
#include "tools/inspector.h"
#include "tools/status.h"
#include "tools/tool.h"

namespace tools {
namespace {

// A writer that only reads the answer, in a row.
template <void (*write)(const Args&, const json::Tape&, std::uint32_t, json::EmbeddedPretty&)>
void reads(const Args& args, json::Tape& tape, std::uint32_t answer, json::EmbeddedPretty& out) {
  write(args, tape, answer, out);
}

using enum Type;

// Arguments: name, type, the core parameter it becomes (empty: the writer
// reads it), what the agent is told, and any rules.
constexpr Argument kPageHandle{
    "page_handle", String, "pageHandle", "From list_pages.", {.required = true}};

constexpr std::array kTools{
    Tool{
        .name = "list_flows",
        .description = "List recently captured HTTP(S) flows from Trelvo, newest first. Use "
                       "filters to narrow by host, path, method, or status. Returns summaries (no "
                       "bodies).",
        .arguments = {{
            {"host", String, "host", "Exact host to match (case-insensitive)."},
            {"path_contains", String, "pathContains",
             "Case-insensitive substring of the request path. When credential masking is "
             "enabled, matching runs against the masked path, so original secret values (e.g. "
             "token contents) will not match."},
            {"method", String, "method", "HTTP method, e.g. GET, POST."},
            {"status", String, "status", "Exact status like \"401\" or a class like \"4xx\"."},
            {"since_seq", Integer, "sinceSeq",
             "Only flows with activity after this sequence number."},
            {"limit",
             Integer,
             "limit",
             "Max flows to return (default 50, max 200).",
             {.default_number = 50, .maximum = 200}},
        }},
        .core_method = "flow.list",
        .params =
            [](const Args& args) {
              Json params = args.core_params();
              params["newestFirst"] = true;  // the agent reads the newest first
              return params;
            },
        .write = reads<write_flow_list>,
    },
    Tool{
        .name = "get_flow",
        .description =
            "Get full detail for one flow by id: request/response headers, plus bodies when "
            "include_bodies is true (off by default \u2014 bodies are never masked). Bodies are "
            "decoded to text when printable, truncated to max_body_bytes; binary bodies are "
            "omitted with a note.",
        .arguments = {{
            {"flow_id", Integer, "flowId", "The flow id from list_flows.", {.required = true}},
            {"include_bodies",
             Boolean,
             "",
             "Include request/response bodies (default false). Bodies are never masked and may "
             "contain raw credentials or session tokens.",
             {.default_flag = false}},
            {"max_body_bytes",
             Integer,
             "",
             "Truncate each body to this many bytes (default 16384).",
             {.default_number = 16384}},
        }},
        .core_method = "flow.getDetail",
        .write = write_flow_detail,
    },
    Tool{
        .name = "get_capture_status",
        .description =
            "Report whether Trelvo is capturing: proxy port, paused state, the HTTPS decrypt "
            "allowlist, flow count, and the oldest retained flow time. Use this to check if a "
            "target host is being decrypted before asking why a request failed.",
        .arguments = {},
        .core_method = "mcp.status",
        .write = reads<write_capture_status>,
    },
    Tool{
        .name = "get_findings",
        .description =
            "Get Trelvo's deterministic findings about the capture path: proxy endpoints, profile "
            "push, PAC fetch, CA download, recent flows, and the open question of whether a device "
            "is currently routing through Trelvo. Each item is a fact (a verified observation), a "
            "finding (a rule-derived conclusion), or an unknown (a question Trelvo cannot decide, "
            "with the evidence that would decide it in would_decide) \u2014 relay unknowns as "
            "unknowns, never upgrade them to conclusions. Everything is observed on the Mac; the "
            "report never claims device-side state. The report is a point-in-time snapshot "
            "\u2014 re-fetch before answering.",
        .arguments = {},
        .core_method = "findings.get",
        .write = reads<write_findings>,
    },
    Tool{
        .name = "list_pages",
        .description = "List inspectable web pages on connected iOS devices (Safari and "
                       "WKWebViews with isInspectable=true), grouped by device. Returns page "
                       "handles for get_console_messages.",
        .arguments = {},
        .core_method = "wir.snapshot",
        .write = reads<write_pages>,
    },
    Tool{
        .name = "get_console_messages",
        .description =
            "Get console messages and JS errors for one page by page_handle. received_at (ISO "
            "8601) is delivery time at Trelvo, not page-side event time \u2014 console and flow "
            "delivery paths differ (measured skew typically ~20 ms, tails past 100 ms), so nearby "
            "cross-timeline timestamps do not establish order; correlate with list_flows by "
            "page_url_at_capture and content, not timestamp adjacency.",
        .arguments = {{
            kPageHandle,
            {"since_seq", Integer, "sinceSeq", "Only messages with seq greater than this."},
            {"limit",
             Integer,
             "limit",
             "Max messages (default 100, max 500).",
             {.default_number = 100, .maximum = 500}},
            {"newest_first",
             Boolean,
             "newestFirst",
             "Take newest N (default true). Message order matches newest_first.",
             {.default_flag = true}},
            // The core judges the level; the choices are for hosts to offer.
            {"level",
             String,
             "level",
             "Minimum level.",
             {.choices = {"debug", "log", "info", "warn", "error"}}},
        }},
        .core_method = "wir.consoleMessages",
        .write = reads<write_console_messages>,
    },
    Tool{
        .name = "evaluate_js",
        .description =
            "Executes JavaScript in the page. The page can see and react to this; results may "
            "contain sensitive data. Call get_console_messages first when you just need to "
            "observe \u2014 only reach for this when you need to actively query page state (e.g. "
            "document.title, a DOM value) that console output doesn't already show.",
        .arguments = {{
            kPageHandle,
            {"expression",
             String,
             "expression",
             "JavaScript expression to evaluate in the page's top-level context.",
             {.required = true}},
        }},
        .core_method = "wir.evaluate",
        // Sent twice, an expression could run twice.
        .resend = Resend::Never,
        .write = reads<write_evaluation>,
    },
};

}  // namespace

std::span<const Tool> all_tools() {
  return kTools;
}

const Tool* find_tool(std::string_view name) {
  auto it =
      std::find_if(kTools.begin(), kTools.end(), [&](const Tool& t) { return t.name == name; });
  return it == kTools.end() ? nullptr : &*it;
}

const Argument* find_argument(std::string_view name) {
  for (const Tool& tool : kTools) {
    for (const Argument& arg : tool.arguments) {
      if (!arg.name.empty() && arg.name == name) return &arg;
    }
  }
  return nullptr;
}

const Argument& Args::declared(std::string_view name) const {
  for (const Argument& arg : tool_.arguments) {
    if (arg.name == name) return arg;
  }
  static constexpr Argument kUndeclared{};
  return kUndeclared;
}

std::uint64_t Args::number(std::string_view name) const {
  const Argument& arg = declared(name);
  const Json* value = given(name);
  std::uint64_t n = value && value->is_number_unsigned() ? value->get<std::uint64_t>()
                                                         : arg.rules.default_number.value_or(0);
  return arg.rules.maximum ? std::min(n, *arg.rules.maximum) : n;
}

bool Args::flag(std::string_view name) const {
  const Json* value = given(name);
  return value && value->is_boolean() ? value->get<bool>()
                                      : declared(name).rules.default_flag.value_or(false);
}

Json Args::core_params() const {
  Json params;  // null: a request without params
  for (const Argument& arg : tool_.arguments) {
    if (arg.core_name.empty()) continue;
    if (params.is_null()) params = Json::object();
    std::string key(arg.core_name);
    if (arg.type == Type::Integer && (given(arg.name) || arg.rules.default_number)) {
      params[key] = number(arg.name);
    } else if (arg.type == Type::Boolean && (given(arg.name) || arg.rules.default_flag)) {
      params[key] = flag(arg.name);
    } else if (const Json* value = given(arg.name)) {
      params[key] = *value;
    }
  }
  return params;
}

Json tool_specs() {
  Json catalogue = Json::array();
  for (const Tool& tool : kTools) {
    Json properties = Json::object();
    Json required = Json::array();
    for (const Argument& arg : tool.arguments) {
      if (arg.name.empty()) continue;
      Json property =
          Json::object({{"type", type_name(arg.type)}, {"description", arg.description}});
      Json choices = Json::array();
      for (std::string_view choice : arg.rules.choices) {
        if (!choice.empty()) choices.push_back(choice);
      }
      if (!choices.empty()) property["enum"] = std::move(choices);
      properties[std::string(arg.name)] = std::move(property);
      if (arg.rules.required) required.push_back(arg.name);
    }
    Json schema = Json::object({{"type", "object"}, {"properties", std::move(properties)}});
    if (!required.empty()) schema["required"] = std::move(required);
    catalogue.push_back(Json::object({{"name", tool.name},
                                  {"description", tool.description},
                                  {"inputSchema", std::move(schema)}}));
  }
  return catalogue;
}

}  // namespace tools

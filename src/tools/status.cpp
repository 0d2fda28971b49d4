#include "tools/status.h"

namespace tools {

using json::Tape;
using Missing = json::EmbeddedPretty::Missing;

void write_capture_status(const Args& /*args*/, const Tape& tape, std::uint32_t answer,
                          json::EmbeddedPretty& out) {
  out.begin_object();
  out.members(tape, answer,
              {{"decrypt_allowlist", "decryptHosts", Missing::EmptyArray},
               {"flow_count", "flowCount", Missing::Zero},
               {"oldest_flow_time", "oldestFlowTs"},
               {"paused", "paused"},
               {"proxy_port", "proxyPort"}});
  out.end_object();
}

}  // namespace tools

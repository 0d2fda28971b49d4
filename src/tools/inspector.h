// list_pages, get_console_messages and evaluate_js: web pages on devices.
#pragma once

#include "json.h"

namespace tools {

// The nine-key console message record for one core message.
Json message_dto(const Json& message);

Json list_pages_shape(const Json& args, const Json& answer);

Json console_messages_params(const Json& args);
Json console_messages_shape(const Json& args, const Json& answer);

Json evaluate_js_params(const Json& args);
Json evaluate_js_shape(const Json& args, const Json& answer);

}  // namespace tools

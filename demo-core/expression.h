// What a demo page can evaluate beyond the few properties it knows: numbers,
// strings, booleans and null, combined with + - * / % and parentheses, with
// JavaScript's meaning (1 + 1 is 2, "a" + 1 is "a1", 1 / 0 is Infinity).
#pragma once

#include <optional>
#include <string_view>

#include "json.h"

namespace demo {

// The value as a page's answer would carry it (a number that is not finite
// as its text, "Infinity" or "NaN"); nullopt for any other expression.
std::optional<Json> evaluate_arithmetic(std::string_view expression);

}  // namespace demo

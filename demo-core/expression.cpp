#include "expression.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <variant>

namespace demo {
namespace {

// Parentheses nested deeper than this are not evaluated (nor recursed into).
constexpr int kMaxDepth = 64;

using Value = std::variant<std::monostate, bool, double, std::string>;  // null first

double to_number(const Value& v) {
  if (auto* d = std::get_if<double>(&v)) return *d;
  if (auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
  if (auto* s = std::get_if<std::string>(&v)) {
    std::size_t start = s->find_first_not_of(" \t\n");
    if (start == std::string::npos) return 0;
    char* end = nullptr;
    double d = std::strtod(s->c_str() + start, &end);
    return *end == '\0' ? d : NAN;
  }
  return 0;
}

// A number as JavaScript writes it: integers without a fraction.
std::string number_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  char buf[32];
  auto end = std::to_chars(buf, buf + sizeof buf, d).ptr;
  return std::string(buf, end);
}

std::string to_text(const Value& v) {
  if (auto* d = std::get_if<double>(&v)) return number_text(*d);
  if (auto* b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (auto* s = std::get_if<std::string>(&v)) return *s;
  return "null";
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<Value> whole() {
    auto v = sum(0);
    skip_space();
    if (!v || at_ != text_.size()) return std::nullopt;
    return v;
  }

 private:
  std::optional<Value> sum(int depth) {
    auto left = product(depth);
    while (left) {
      char op = next_of("+-");
      if (op == 0) break;
      auto right = product(depth);
      if (!right) return std::nullopt;
      bool texts =
          std::holds_alternative<std::string>(*left) || std::holds_alternative<std::string>(*right);
      if (op == '+' && texts) {
        left = to_text(*left) + to_text(*right);
      } else {
        double a = to_number(*left), b = to_number(*right);
        left = op == '+' ? a + b : a - b;
      }
    }
    return left;
  }

  std::optional<Value> product(int depth) {
    auto left = unary(depth);
    while (left) {
      char op = next_of("*/%");
      if (op == 0) break;
      auto right = unary(depth);
      if (!right) return std::nullopt;
      double a = to_number(*left), b = to_number(*right);
      left = op == '*' ? a * b : op == '/' ? a / b : std::fmod(a, b);
    }
    return left;
  }

  std::optional<Value> unary(int depth) {
    char op = next_of("+-!");
    if (op == 0) return primary(depth);
    if (depth >= kMaxDepth) return std::nullopt;
    auto v = unary(depth + 1);
    if (!v) return std::nullopt;
    if (op == '!') {
      double n = to_number(*v);
      bool truthy = std::holds_alternative<std::string>(*v) ? !std::get<std::string>(*v).empty()
                                                            : (n != 0 && !std::isnan(n));
      return Value(!truthy);
    }
    return Value(op == '-' ? -to_number(*v) : to_number(*v));
  }

  std::optional<Value> primary(int depth) {
    skip_space();
    if (at_ == text_.size()) return std::nullopt;
    char c = text_[at_];
    if (c == '(') {
      if (depth >= kMaxDepth) return std::nullopt;
      ++at_;
      auto v = sum(depth + 1);
      if (!v || next_of(")") == 0) return std::nullopt;
      return v;
    }
    if (c == '"' || c == '\'') return quoted(c);
    for (auto [word, value] : {std::pair<std::string_view, Value>{"true", true},
                               {"false", false},
                               {"null", std::monostate{}}}) {
      if (text_.substr(at_, word.size()) == word) {
        at_ += word.size();
        return value;
      }
    }
    return number();
  }

  // Digits with an optional fraction and exponent, as JavaScript writes them.
  std::optional<Value> number() {
    const std::size_t start = at_;
    auto digits = [&] {
      std::size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ > from;
    };
    bool whole = digits();
    bool fraction = at_ < text_.size() && text_[at_] == '.' && (++at_, digits());
    if (!whole && !fraction) return std::nullopt;
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!digits()) return std::nullopt;
    }
    return Value(std::strtod(std::string(text_.substr(start, at_ - start)).c_str(), nullptr));
  }

  // A string in `quote`s, with the escapes a person types most.
  std::optional<Value> quoted(char quote) {
    std::string out;
    for (++at_; at_ < text_.size(); ++at_) {
      char c = text_[at_];
      if (c == quote) {
        ++at_;
        return Value(out);
      }
      if (c == '\\' && ++at_ < text_.size()) {
        c = text_[at_];
        if (c == 'n') c = '\n';
        if (c == 't') c = '\t';
      }
      out += c;
    }
    return std::nullopt;
  }

  // The next character when it is one of `ops` (consumed), else 0.
  char next_of(std::string_view ops) {
    skip_space();
    if (at_ < text_.size() && ops.find(text_[at_]) != std::string_view::npos) return text_[at_++];
    return 0;
  }

  void skip_space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n')) {
      ++at_;
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<Json> evaluate_arithmetic(std::string_view expression) {
  std::optional<Value> v = Parser(expression).whole();
  if (!v) return std::nullopt;
  if (auto* d = std::get_if<double>(&*v)) {
    if (!std::isfinite(*d)) return Json(number_text(*d));
    // Integral values as integers, as a page's JSON writes them.
    if (*d == std::trunc(*d) && std::fabs(*d) < 9007199254740992.0) {
      return Json(static_cast<std::int64_t>(*d));
    }
    return Json(*d);
  }
  if (auto* b = std::get_if<bool>(&*v)) return Json(*b);
  if (auto* s = std::get_if<std::string>(&*v)) return Json(*s);
  return Json(nullptr);
}

}  // namespace demo

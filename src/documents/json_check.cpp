// Strict JSON check: exactly one RFC 8259 value, at most 127 open arrays and
// objects, numbers within the range of a double. The text is scanned once;
// nothing of the document is kept, since no caller ever reads a setting from it.

#include "documents/json_check.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The scanners below run once per value; inlining them into the main loop
// keeps the read position in a register.
#if defined(__GNUC__) || defined(__clang__)
#define VELMORA_SCANNER [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define VELMORA_SCANNER __forceinline
#else
#define VELMORA_SCANNER inline
#endif

namespace velmora::documents {
namespace {

// Each "[" or "{" takes one unit of this budget when it is met, before it is
// consumed, and gives it back when its container ends; using up the last unit
// is a failure, so at most kDepthBudget - 1 arrays and objects are open at once.
constexpr int kDepthBudget = 128;

// 2^1024 - 2^970: the smallest value that rounds to infinity as a double
// (round half to even; the largest finite double has an odd significand).
constexpr std::string_view kOverflowThreshold =
    "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720709633"
    "02864166928879109465555478519404026306574886715058206819089020007083836762738548458177115317644757302700"
    "69855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792";
// Decimal exponent of the threshold's leading digit.
constexpr std::int64_t kOverflowOrder = 308;
// Exponents are accumulated with saturation; any magnitude beyond this decides
// the outcome on its own, whatever the digits.
constexpr std::int64_t kExponentCap = 1'000'000'000'000'000;

enum CharClass : std::uint8_t {
  kWhitespace = 1,  // space, tab, line feed, carriage return
  kStringStop = 2,  // '"', '\\' or a control character: ends a run of plain string bytes
};

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = kStringStop;
  table['"'] = kStringStop;
  table['\\'] = kStringStop;
  table[' '] = kWhitespace;
  table['\t'] |= kWhitespace;
  table['\n'] |= kWhitespace;
  table['\r'] |= kWhitespace;
  return table;
}
constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

constexpr int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "message at line L column C": L is 1 plus the line feeds before `offset`; C
// is the 1-based byte column of the byte at `offset`, or, at the end of the
// text, the number of bytes on the last line.
std::string render_failure(std::string_view text, const char* message, std::size_t offset) {
  // The position is that of the text consumed up to and including the failing
  // byte: a failing line feed therefore ends its line (next line, column 0).
  const std::size_t end = offset < text.size() ? offset + 1 : text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::string out(message);
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(end - line_start);
  return out;
}

class Checker {
 public:
  explicit Checker(std::string_view text)
      : p_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

  // True when the text is one value; otherwise message() and offset() say why.
  bool run();
  const char* message() const { return message_; }
  std::size_t offset() const { return offset_; }

 private:
  // What comes next once a value is complete.
  enum class Step { kFailed, kDone, kElement, kMember };

  bool fail(const char* message, std::size_t offset) {
    message_ = message;
    offset_ = offset;
    return false;
  }
  bool fail_eof(const char* message) { return fail(message, n_); }

  bool at_end() const { return pos_ >= n_; }
  void skip_whitespace() {
    while (pos_ < n_ && (kClasses[p_[pos_]] & kWhitespace)) ++pos_;
  }

  Step after_value();
  bool open(char bracket);
  void close() { --depth_; }
  bool scan_literal(std::string_view word);
  bool scan_number();
  bool scan_string();
  bool hex_escape(unsigned& code);
  bool number_in_range(std::size_t int_begin, std::size_t int_end, std::size_t frac_begin,
                       std::size_t frac_end, std::int64_t exponent) const;

  const unsigned char* p_;
  std::size_t n_;
  std::size_t pos_ = 0;
  int depth_ = 0;  // open arrays and objects
  std::array<char, kDepthBudget> open_{};  // '[' or '{' for each open container
  const char* message_ = nullptr;
  std::size_t offset_ = 0;
};

bool Checker::open(char bracket) {
  if (depth_ + 1 == kDepthBudget) return fail("recursion limit exceeded", pos_);
  open_[depth_++] = bracket;
  ++pos_;
  return true;
}

VELMORA_SCANNER bool Checker::scan_literal(std::string_view word) {
  if (n_ - pos_ >= word.size() && std::memcmp(p_ + pos_, word.data(), word.size()) == 0) {
    pos_ += word.size();
    return true;
  }
  // The first letter has already been matched by the caller.
  for (std::size_t i = 1;; ++i) {
    if (pos_ + i >= n_) return fail_eof("EOF while parsing a value");
    if (p_[pos_ + i] != static_cast<unsigned char>(word[i])) return fail("expected ident", pos_ + i);
  }
}

VELMORA_SCANNER bool Checker::scan_number() {
  if (p_[pos_] == '-') {
    ++pos_;
    if (at_end()) return fail_eof("EOF while parsing a value");
  }
  const std::size_t int_begin = pos_;
  if (p_[pos_] == '0') {
    ++pos_;
    if (!at_end() && is_digit(p_[pos_])) return fail("invalid number", pos_);
  } else if (is_digit(p_[pos_])) {
    while (pos_ < n_ && is_digit(p_[pos_])) ++pos_;
  } else {
    return fail("invalid number", pos_);
  }
  const std::size_t int_end = pos_;

  std::size_t frac_begin = pos_;
  std::size_t frac_end = pos_;
  if (!at_end() && p_[pos_] == '.') {
    ++pos_;
    if (at_end()) return fail_eof("EOF while parsing a value");
    if (!is_digit(p_[pos_])) return fail("invalid number", pos_);
    frac_begin = pos_;
    while (pos_ < n_ && is_digit(p_[pos_])) ++pos_;
    frac_end = pos_;
  }

  std::int64_t exponent = 0;
  if (!at_end() && (p_[pos_] == 'e' || p_[pos_] == 'E')) {
    ++pos_;
    if (at_end()) return fail_eof("EOF while parsing a value");
    bool negative = false;
    if (p_[pos_] == '+' || p_[pos_] == '-') {
      negative = p_[pos_] == '-';
      ++pos_;
      if (at_end()) return fail_eof("EOF while parsing a value");
    }
    if (!is_digit(p_[pos_])) return fail("invalid number", pos_);
    while (pos_ < n_ && is_digit(p_[pos_])) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (p_[pos_] - '0');
      ++pos_;
    }
    if (negative) exponent = -exponent;
  }

  if (!number_in_range(int_begin, int_end, frac_begin, frac_end, exponent)) {
    return fail("number out of range", pos_ - 1);
  }
  return true;
}

// Whether the magnitude int.frac * 10^exponent stays below the overflow
// threshold. Integers beyond 64 bits and tiny values are fine: they become
// doubles (tiny ones zero); only a magnitude that rounds to infinity is not.
bool Checker::number_in_range(std::size_t int_begin, std::size_t int_end, std::size_t frac_begin,
                              std::size_t frac_end, std::int64_t exponent) const {
  // Significant digits: the integer digits, then the fraction digits.
  auto digit_at = [&](std::size_t k) -> unsigned char {
    const std::size_t int_len = int_end - int_begin;
    if (k < int_len) return p_[int_begin + k];
    k -= int_len;
    return k < frac_end - frac_begin ? p_[frac_begin + k] : '0';
  };
  const std::size_t total = (int_end - int_begin) + (frac_end - frac_begin);
  std::size_t first = 0;
  while (first < total && digit_at(first) == '0') ++first;
  if (first == total) return true;  // zero, whatever the exponent

  // Decimal exponent of the leading significant digit.
  const std::int64_t order =
      static_cast<std::int64_t>(int_end - int_begin) - static_cast<std::int64_t>(first) - 1 + exponent;
  if (order != kOverflowOrder) return order < kOverflowOrder;

  // Same order as the threshold: compare digit by digit, missing digits as zeros.
  const std::size_t digits = total - first;
  const std::size_t length = digits > kOverflowThreshold.size() ? digits : kOverflowThreshold.size();
  for (std::size_t k = 0; k < length; ++k) {
    const unsigned char mine = k < digits ? digit_at(first + k) : '0';
    const unsigned char limit = k < kOverflowThreshold.size() ? kOverflowThreshold[k] : '0';
    if (mine != limit) return mine < limit;
  }
  return false;  // exactly the threshold rounds to infinity
}

bool Checker::hex_escape(unsigned& code) {
  if (n_ - pos_ < 4) return fail_eof("EOF while parsing a string");
  code = 0;
  for (int i = 0; i < 4; ++i) {
    const int v = hex_value(p_[pos_]);
    if (v < 0) return fail("invalid escape", pos_);
    code = code * 16 + static_cast<unsigned>(v);
    ++pos_;
  }
  return true;
}

VELMORA_SCANNER bool Checker::scan_string() {
  ++pos_;  // opening quote
  for (;;) {
    while (pos_ < n_ && !(kClasses[p_[pos_]] & kStringStop)) ++pos_;
    if (at_end()) return fail_eof("EOF while parsing a string");
    const unsigned char c = p_[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\') return fail("control character (\\u0000-\\u001F) found while parsing a string", pos_);

    ++pos_;
    if (at_end()) return fail_eof("EOF while parsing a string");
    switch (p_[pos_]) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        ++pos_;
        continue;
      case 'u':
        break;
      default:
        return fail("invalid escape", pos_);
    }
    ++pos_;
    unsigned code = 0;
    if (!hex_escape(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return fail("lone leading surrogate in hex escape", pos_ - 1);
    if (code < 0xD800 || code > 0xDBFF) continue;

    // A high surrogate must be followed at once by the escape of a low one.
    for (const unsigned char expected : {'\\', 'u'}) {
      if (at_end()) return fail_eof("EOF while parsing a string");
      if (p_[pos_] != expected) return fail("unexpected end of hex escape", pos_);
      ++pos_;
    }
    if (!hex_escape(code)) return false;
    if (code < 0xDC00 || code > 0xDFFF) return fail("lone leading surrogate in hex escape", pos_ - 1);
  }
}

bool Checker::run() {
  Step step = Step::kElement;
  for (;;) {
    if (step == Step::kMember) {
      // At the opening quote of a member name: the name, then ":".
      if (!scan_string()) return false;
      skip_whitespace();
      if (at_end()) return fail_eof("EOF while parsing an object");
      if (p_[pos_] != ':') return fail("expected `:`", pos_);
      ++pos_;
    }

    skip_whitespace();
    if (at_end()) return fail_eof("EOF while parsing a value");
    bool ok = true;
    switch (p_[pos_]) {
      case '[':
        if (!open('[')) return false;
        skip_whitespace();
        if (at_end()) return fail_eof("EOF while parsing a list");
        if (p_[pos_] != ']') {
          step = Step::kElement;
          continue;
        }
        ++pos_;
        close();
        break;
      case '{':
        if (!open('{')) return false;
        skip_whitespace();
        if (at_end()) return fail_eof("EOF while parsing an object");
        if (p_[pos_] != '}') {
          if (p_[pos_] != '"') return fail("key must be a string", pos_);
          step = Step::kMember;
          continue;
        }
        ++pos_;
        close();
        break;
      case '"':
        ok = scan_string();
        break;
      case 't':
        ok = scan_literal("true");
        break;
      case 'f':
        ok = scan_literal("false");
        break;
      case 'n':
        ok = scan_literal("null");
        break;
      case '-': case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8':
      case '9':
        ok = scan_number();
        break;
      default:
        return fail("expected value", pos_);
    }
    if (!ok) return false;

    step = after_value();
    if (step == Step::kFailed) return false;
    if (step == Step::kDone) return true;
  }
}

Checker::Step Checker::after_value() {
  // Close the containers that end here, then step over "," to the next element
  // or member, or reach the end of the text.
  for (;;) {
    skip_whitespace();
    if (depth_ == 0) {
      if (!at_end()) {
        fail("trailing characters", pos_);
        return Step::kFailed;
      }
      return Step::kDone;
    }
    const bool in_array = open_[depth_ - 1] == '[';
    const unsigned char closing = in_array ? ']' : '}';
    const char* failure = nullptr;
    std::size_t at = n_;
    if (at_end()) {
      failure = in_array ? "EOF while parsing a list" : "EOF while parsing an object";
    } else if (p_[pos_] == closing) {
      ++pos_;
      close();
      continue;
    } else if (p_[pos_] != ',') {
      failure = in_array ? "expected `,` or `]`" : "expected `,` or `}`";
      at = pos_;
    } else {
      ++pos_;
      skip_whitespace();
      if (at_end()) {
        failure = "EOF while parsing a value";
      } else if (p_[pos_] == closing) {
        failure = "trailing comma";
        at = pos_;
      } else if (in_array) {
        return Step::kElement;
      } else if (p_[pos_] == '"') {
        return Step::kMember;
      } else {
        failure = "key must be a string";
        at = pos_;
      }
    }
    fail(failure, at);
    return Step::kFailed;
  }
}

}  // namespace

CheckResult check_json_document(std::string_view text) {
  Checker checker(text);
  if (checker.run()) return std::nullopt;
  return render_failure(text, checker.message(), checker.offset());
}

}  // namespace velmora::documents

// Strict JSON check: exactly one RFC 8259 value, at most 127 open arrays and
// objects, numbers within the range of a double. The text is scanned once;
// nothing of the document is kept, since no caller ever reads a setting from it.

#include "documents/json/json_check.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "documents/json/json_bytes.hpp"
#include "documents/json/json_number.hpp"
#include "documents/json/json_scanner.hpp"

namespace velmora::documents {
namespace {

// Each "[" or "{" takes one unit of this budget when it is met, before it is
// consumed, and gives it back when its container ends; using up the last unit
// is a failure, so at most kDepthBudget - 1 arrays and objects are open at once.
constexpr int kDepthBudget = 128;

// 2^1024 - 2^970: the smallest value that rounds to infinity as a double
// (round half to even; the largest finite double has an odd significand).
constexpr std::string_view kOverflowThreshold =
    "1797693134862315807937289714053034150799341327100378269361737789804449682927647509466490179775"
    "8720709633"
    "0286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764"
    "4757302700"
    "6985557136695962284291481986083493647529271907416844436551070434271155969950809304288017790417"
    "4497792";

using namespace json_bytes;
using json_number::kExponentCap;
using json_number::kOverflowOrder;
using json_scan::is_digit;

// "message at line L column C": L is 1 plus the line feeds before `offset`; C
// is the 1-based byte column of the byte at `offset`, or, at the end of the
// text, the number of bytes on the last line.
text::Failure render_failure(std::string_view text, const char* message, std::size_t offset) {
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
  return {text::FailureKind::json, std::move(out), std::nullopt,
          TextPosition{line, end - line_start}};
}

// The exact check: it finds the first failure and says where. (A text read
// in steps is checked by json_index.cpp, which only accepts.)
class Checker : json_scan::Scanner {
 public:
  explicit Checker(std::string_view text) : Scanner(text) {}

  // True when the text is one value; otherwise message() and offset() say why.
  bool run();
  const char* message() const { return message_; }
  std::size_t offset() const { return offset_; }

 private:
  // What comes next once a value is complete.
  // kValue (from open_array() and open_object() only): the container was
  // empty and is closed.
  enum class Step { kFailed, kDone, kElement, kMember, kValue };

  bool fail(const char* message, std::size_t offset) {
    message_ = message;
    offset_ = offset;
    return false;
  }
  bool fail_eof(const char* message) { return fail(message, n_); }

  Step open_array();
  Step open_object();
  bool scan_member_name();
  Step after_value();
  bool open(char bracket);
  void close() { --depth_; }
  bool scan_literal(std::string_view word);
  bool scan_number();
  bool scan_string();
  bool scan_escape();
  bool scan_unicode_escape();
  bool hex_escape(unsigned& code);

  int depth_ = 0;                          // open arrays and objects
  std::array<char, kDepthBudget> open_{};  // '[' or '{' for each open container
  const char* message_ = nullptr;
  std::size_t offset_ = 0;
};

VELMORA_ALWAYS_INLINE bool Checker::open(char bracket) {
  if (depth_ + 1 == kDepthBudget) return fail("recursion limit exceeded", pos_);
  open_[depth_++] = bracket;
  ++pos_;
  return true;
}

VELMORA_ALWAYS_INLINE bool Checker::scan_literal(std::string_view word) {
  if (n_ - pos_ >= word.size() && std::memcmp(p_ + pos_, word.data(), word.size()) == 0) {
    pos_ += word.size();
    return true;
  }
  // The first letter has already been matched by the caller.
  for (std::size_t i = 1;; ++i) {
    if (pos_ + i >= n_) return fail_eof("EOF while parsing a value");
    if (p_[pos_ + i] != static_cast<unsigned char>(word[i]))
      return fail("expected ident", pos_ + i);
  }
}

VELMORA_ALWAYS_INLINE bool Checker::scan_number() {
  pos_ += p_[pos_] == '-';  // signs come and go at random: no branch on them
  if (at_end()) return fail_eof("EOF while parsing a value");
  const std::size_t int_begin = pos_;
  skip_digits();
  const std::size_t int_end = pos_;
  if (int_end == int_begin) return fail("invalid number", int_begin);
  // A leading zero stands alone.
  if (p_[int_begin] == '0' && int_end - int_begin > 1) return fail("invalid number", int_begin + 1);

  std::size_t frac_begin = pos_;
  std::size_t frac_end = pos_;
  if (!at_end() && p_[pos_] == '.') {
    ++pos_;
    if (at_end()) return fail_eof("EOF while parsing a value");
    if (!is_digit(p_[pos_])) return fail("invalid number", pos_);
    frac_begin = pos_;
    skip_digits();
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

  // The leading significant digit is at most at 10^(integer digits - 1 +
  // exponent); below the threshold's order there is nothing to compare.
  const std::int64_t highest_order = static_cast<std::int64_t>(int_end - int_begin) - 1 + exponent;
  // No out-of-line call takes the checker's address, so that its fields can
  // stay in registers.
  if (highest_order >= kOverflowOrder &&
      !json_number::in_range(p_, int_begin, int_end, frac_begin, frac_end, exponent)) {
    return fail("number out of range", pos_ - 1);
  }
  return true;
}

VELMORA_ALWAYS_INLINE bool Checker::hex_escape(unsigned& code) {
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

VELMORA_ALWAYS_INLINE bool Checker::scan_string() {
  ++pos_;  // opening quote
  for (;;) {
    skip_plain_string_bytes();
    if (at_end()) return fail_eof("EOF while parsing a string");
    const unsigned char c = p_[pos_];
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c != '\\')
      return fail("control character (\\u0000-\\u001F) found while parsing a string", pos_);
    if (!scan_escape()) return false;
  }
}

// At a backslash in a string: steps over its escape.
VELMORA_ALWAYS_INLINE bool Checker::scan_escape() {
  ++pos_;
  if (at_end()) return fail_eof("EOF while parsing a string");
  if (is_short_escape(p_[pos_])) {
    ++pos_;
    return true;
  }
  if (p_[pos_] != 'u') return fail("invalid escape", pos_);
  ++pos_;
  return scan_unicode_escape();
}

// After the "u" of an escape: four hex digits; a high surrogate must be followed at once by
// the escape of a low one.
VELMORA_ALWAYS_INLINE bool Checker::scan_unicode_escape() {
  unsigned code = 0;
  if (!hex_escape(code)) return false;
  if (code >= 0xDC00 && code <= 0xDFFF)
    return fail("lone leading surrogate in hex escape", pos_ - 1);
  if (code < 0xD800 || code > 0xDBFF) return true;

  for (const unsigned char expected : {'\\', 'u'}) {
    if (at_end()) return fail_eof("EOF while parsing a string");
    if (p_[pos_] != expected) return fail("unexpected end of hex escape", pos_);
    ++pos_;
  }
  if (!hex_escape(code)) return false;
  if (code < 0xDC00 || code > 0xDFFF) return fail("lone leading surrogate in hex escape", pos_ - 1);
  return true;
}

bool Checker::run() {
  // At the top of the loop the next byte is the first of a value: every way
  // there has skipped the whitespace before it and made sure it exists.
  Step step = Step::kElement;
  skip_whitespace();
  if (at_end()) return fail_eof("EOF while parsing a value");
  for (;;) {
    if (step == Step::kMember && !scan_member_name()) return false;
    bool ok = true;
    switch (kValueKinds[p_[pos_]]) {
      case kArray:
        // An array or object opened goes on with its first element or member.
        step = open_array();
        if (step == Step::kValue) break;
        if (step == Step::kFailed) return false;
        continue;
      case kObject:
        step = open_object();
        if (step == Step::kValue) break;
        if (step == Step::kFailed) return false;
        continue;
      case kString:
        ok = scan_string();
        break;
      case kTrue:
        ok = scan_literal("true");
        break;
      case kFalse:
        ok = scan_literal("false");
        break;
      case kNull:
        ok = scan_literal("null");
        break;
      case kNumber:
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

// At the opening quote of a member name: the name, then ":", up to the value.
VELMORA_ALWAYS_INLINE bool Checker::scan_member_name() {
  if (!scan_string()) return false;
  skip_whitespace();
  if (at_end()) return fail_eof("EOF while parsing an object");
  if (p_[pos_] != ':') return fail("expected `:`", pos_);
  ++pos_;
  skip_whitespace();
  if (at_end()) return fail_eof("EOF while parsing a value");
  return true;
}

// At a "[" or "{": opens the container. kElement or kMember when a value or
// member follows, kValue when the container is empty (and closed), else
// kFailed.
VELMORA_ALWAYS_INLINE Checker::Step Checker::open_array() {
  if (!open('[')) return Step::kFailed;
  skip_whitespace();
  if (at_end()) {
    fail_eof("EOF while parsing a list");
    return Step::kFailed;
  }
  if (p_[pos_] != ']') return Step::kElement;
  ++pos_;
  close();
  return Step::kValue;
}

VELMORA_ALWAYS_INLINE Checker::Step Checker::open_object() {
  if (!open('{')) return Step::kFailed;
  skip_whitespace();
  if (at_end()) {
    fail_eof("EOF while parsing an object");
    return Step::kFailed;
  }
  if (p_[pos_] == '}') {
    ++pos_;
    close();
    return Step::kValue;
  }
  if (p_[pos_] == '"') return Step::kMember;
  fail("key must be a string", pos_);
  return Step::kFailed;
}

VELMORA_ALWAYS_INLINE Checker::Step Checker::after_value() {
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
    if (at == n_) {
      fail_eof(failure);
    } else {
      fail(failure, at);
    }
    return Step::kFailed;
  }
}

}  // namespace

bool json_number::in_range(const unsigned char* p, std::size_t int_begin, std::size_t int_end,
                           std::size_t frac_begin, std::size_t frac_end, std::int64_t exponent) {
  // Significant digits: the integer digits, then the fraction digits.
  auto digit_at = [&](std::size_t k) -> unsigned char {
    const std::size_t int_len = int_end - int_begin;
    if (k < int_len) return p[int_begin + k];
    k -= int_len;
    return k < frac_end - frac_begin ? p[frac_begin + k] : '0';
  };
  const std::size_t total = (int_end - int_begin) + (frac_end - frac_begin);
  std::size_t first = 0;
  while (first < total && digit_at(first) == '0') ++first;
  if (first == total) return true;  // zero, whatever the exponent

  // Decimal exponent of the leading significant digit.
  const std::int64_t order = static_cast<std::int64_t>(int_end - int_begin) -
                             static_cast<std::int64_t>(first) - 1 + exponent;
  if (order != kOverflowOrder) return order < kOverflowOrder;

  // Same order as the threshold: compare digit by digit, missing digits as zeros.
  const std::size_t digits = total - first;
  const std::size_t length =
      digits > kOverflowThreshold.size() ? digits : kOverflowThreshold.size();
  for (std::size_t k = 0; k < length; ++k) {
    const unsigned char mine = k < digits ? digit_at(first + k) : '0';
    const unsigned char limit = k < kOverflowThreshold.size() ? kOverflowThreshold[k] : '0';
    if (mine != limit) return mine < limit;
  }
  return false;  // exactly the threshold rounds to infinity
}

CheckResult check_json_document(std::string_view text) {
  Checker checker(text);
  if (checker.run()) return std::nullopt;
  return render_failure(text, checker.message(), checker.offset());
}

}  // namespace velmora::documents

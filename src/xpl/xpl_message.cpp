// The parse walks the text once, front to back, as a view. Each search starts
// where the previous one left off, and the next "=" and "!" are remembered
// until the walk passes them, so a hostile text (a long run without any
// separator, thousands of tiny pairs) costs time in proportion to its length.
#include "xpl/xpl_message.h"

#include <charconv>
#include <exception>
#include <optional>
#include <system_error>

#include "common/text.h"

namespace tessaly {

namespace {

constexpr std::string_view kBlockOpen = "\n{\n";
constexpr std::string_view kBlockClose = "\n}\n";
constexpr std::size_t npos = std::string_view::npos;
// The source of every failure report.
constexpr const char* kReportSource = "Tessaly";

bool IsMessageType(std::string_view section) {
  return section == "XPL-CMND" || section == "XPL-STAT" || section == "XPL-TRIG";
}

bool IsLetterOrDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Finds pair separators for a walk that only moves forward.
class SeparatorFinder {
 public:
  explicit SeparatorFinder(std::string_view text)
      : text_(text), equals_(text.find('=')), bang_(text.find('!')) {}

  // The first "=" or "!" at or after `from`, whichever comes first; npos
  // when there is neither.
  std::size_t Next(std::size_t from) {
    if (equals_ < from) equals_ = text_.find('=', from);
    if (bang_ < from) bang_ = text_.find('!', from);
    return equals_ < bang_ ? equals_ : bang_;
  }

 private:
  std::string_view text_;
  std::size_t equals_;
  std::size_t bang_;
};

// Reads the pairs of one block from `pos` (just after its opening) up to and
// including its closing; `pos` ends after the closing. False when a pair has
// no separator or no line feed after its value, or the block has too many pairs.
bool ReadPairs(std::string_view text, std::size_t& pos, SeparatorFinder& separators, bool header,
               XplBlock& block) {
  for (;;) {
    const std::size_t sep = separators.Next(pos);
    if (sep == npos) return false;
    const std::size_t end = text.find('\n', sep + 1);
    if (end == npos || block.LastPair == XplParser::kMaxEntries - 1) return false;
    std::string_view value = text.substr(sep + 1, end - sep - 1);
    block.Pairs.push_back({ToUpper(TrimSpaces(text.substr(pos, sep - pos))),
                           std::string(header ? TrimSpaces(value) : value)});
    ++block.LastPair;
    pos = end;
    if (text.substr(pos, kBlockClose.size()) == kBlockClose) {
      pos += kBlockClose.size();
      return true;
    }
    ++pos;
  }
}

// The whole of `s` as a number rounded half to even into 16 bits; "" is 0.
// Nothing when `s` is not a plain decimal number or the number does not fit.
std::optional<std::int16_t> ToInt16(std::string_view s) {
  if (s.empty()) return 0;
  const bool negative = s.front() == '-';
  std::string_view digits = (negative || s.front() == '+') ? s.substr(1) : s;
  // from_chars would also take "inf" and "nan".
  if (digits.empty() || !(digits.front() == '.' || (digits.front() >= '0' && digits.front() <= '9'))) {
    return std::nullopt;
  }
  double v = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  v = RoundHalfEven(negative ? -v : v);
  if (v < INT16_MIN || v > INT16_MAX) return std::nullopt;
  return static_cast<std::int16_t>(v);
}

}  // namespace

bool XplParser::xPL_Extract(std::string_view text) {
  try {
    if (Parse(text)) return true;
  } catch (const std::exception& e) {
    reporter_.Report(kReportSource, "xPL_Extract", e.what());
  }
  Clear();
  return false;
}

void XplParser::Clear() {
  XplFields_.clear();
  XplLastBlock_ = -1;
}

bool XplParser::Parse(std::string_view text) {
  Clear();
  SeparatorFinder separators(text);
  std::size_t pos = 0;
  for (;;) {
    const std::size_t open = text.find(kBlockOpen, pos);
    if (open == npos) return XplLastBlock_ >= 0;
    if (XplLastBlock_ == kMaxEntries - 1) return false;
    XplBlock& block = XplFields_.emplace_back();
    ++XplLastBlock_;
    block.Section = ToUpper(TrimSpaces(text.substr(pos, open - pos)));
    if (XplLastBlock_ == 0 && !IsMessageType(block.Section)) return false;
    pos = open + kBlockOpen.size();
    if (!ReadPairs(text, pos, separators, XplLastBlock_ == 0, block)) return false;
  }
}

std::string XplParser::xPL_GetParam(bool inBody, std::string_view name, bool doTrim) const {
  try {
    const std::int16_t index = inBody ? 1 : 0;
    if (index > XplLastBlock_) return "";
    for (const XplPair& pair : XplFields_[index].Pairs) {
      if (EqualsNoCase(pair.Name, name)) return std::string(doTrim ? TrimSpaces(pair.Value) : pair.Value);
    }
  } catch (const std::exception& e) {
    reporter_.Report(kReportSource, "xPL_GetParam", e.what());
  }
  return "";
}

xplMessage XplParser::xPL_xplMessage(std::string_view text) {
  try {
    // A text that does not parse has no record.
    if (!xPL_Extract(text)) return {};
    const std::optional<std::int16_t> hop = ToInt16(xPL_GetParam(false, "HOP", true));
    if (!hop) {
      reporter_.Report(kReportSource, "xPL_xplMessage", "hop is not a 16-bit number");
      return {};
    }
    const xplAddress source = xPL_CheckAddress(xPL_GetParam(false, "SOURCE", false));
    if (!source.Valid) return {};
    std::string target = xPL_GetParam(false, "TARGET", false);
    if (target != "*" && !xPL_CheckAddress(target).Valid) return {};
    if (XplLastBlock_ < 1 || !xPL_CheckSchema(XplFields_[1].Section)) return {};

    const XplBlock& body = XplFields_[1];
    xplMessage m;
    m.MsgType = XplFields_[0].Section;
    m.Hop = *hop;
    m.Source = source.Vendor + "-" + source.Device + "." + source.Instance;
    m.Target = std::move(target);
    m.Schema = body.Section;
    m.NamePairs = static_cast<std::int16_t>(body.LastPair + 1);
    m.Names.reserve(body.Pairs.size() + 1);
    m.Values.reserve(body.Pairs.size() + 1);
    for (const XplPair& pair : body.Pairs) {
      m.Names.push_back(pair.Name);
      m.Values.push_back(pair.Value);
    }
    m.Names.emplace_back();
    m.Values.emplace_back();
    return m;
  } catch (const std::exception& e) {
    reporter_.Report(kReportSource, "xPL_xplMessage", e.what());
  }
  return {};
}

// The limits on the three parts keep a valid address within 34 characters.
xplAddress xPL_CheckAddress(std::string_view s) {
  std::size_t dash = npos, dot = npos;  // 0-based positions
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (IsLetterOrDigit(c)) continue;
    if (c == '-' && dash == npos && i >= 1 && i <= 8) {
      dash = i;
    } else if (c == '.' && dot == npos) {
      dot = i;
    } else {
      return {};
    }
  }
  if (dash == npos || dot == npos || dot < dash) return {};
  const std::size_t device = dot - dash - 1, instance = s.size() - dot - 1;
  if (device < 1 || device > 8 || instance < 1 || instance > 16) return {};
  return {true, std::string(s.substr(0, dash)), std::string(s.substr(dash + 1, device)),
          std::string(s.substr(dot + 1))};
}

bool xPL_CheckSchema(std::string_view s) {
  if (s.empty() || s.size() >= 18) return false;
  bool dot = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (IsLetterOrDigit(c)) continue;
    if (c != '.' || dot || i == 0 || i == s.size() - 1 || i > 8) return false;
    dot = true;
  }
  return true;
}

}  // namespace tessaly

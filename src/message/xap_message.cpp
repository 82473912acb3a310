// Reading walks the received text once, line by line, as views into it; only
// the item lines kept in sections are copied. The header runs from the third
// line up to the first line that is exactly "}"; the line after every "}"
// names the next section. Line and section numbers are 16-bit, so at most
// 32768 lines (numbers 0 to 32767) are read and the rest of a longer text is
// left unread and reported.
#include "message/xap_message.h"

#include <cstdint>
#include <stdexcept>

#include "common/text.h"

namespace tessaly {

namespace {

constexpr std::int32_t kLastLine = 32767;
// Every section takes at least two lines ("}" and its name).
static_assert(kLastLine / 2 < INT16_MAX, "section numbers must fit 16 bits");

// Hands out the lines of a text split at every "\n"; a text ending in "\n"
// has an empty last line. Stops after line number kLastLine.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  std::optional<std::string_view> Next() {
    if (done_) return std::nullopt;
    if (number_ > kLastLine) {
      done_ = true;
      truncated_ = true;
      return std::nullopt;
    }
    ++number_;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) {
      done_ = true;
      return text_.substr(pos_);
    }
    std::string_view line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return line;
  }

  // Lines were left unread because of the line limit.
  bool Truncated() const { return truncated_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::int32_t number_ = 0;
  bool done_ = false;
  bool truncated_ = false;
};

}  // namespace

// Reports parse failures of one text to the log file. A hostile datagram can
// carry thousands of duplicate names; past kMaxReports lines the rest are
// only counted, and one closing line says how many went unreported.
class XapMessage::ParseLog {
 public:
  explicit ParseLog(Reporter& report) : report_(report) {}

  void Report(std::string description) {
    if (written_ >= kMaxReports) {
      ++withheld_;
      return;
    }
    ++written_;
    report_.Report("From XAP", "", description);
  }

  void Finish() {
    if (withheld_ == 0) return;
    report_.Report("From XAP", "", Dec(withheld_) + " more failures in this message not logged");
    withheld_ = 0;
  }

 private:
  static constexpr int kMaxReports = 10;
  Reporter& report_;
  int written_ = 0;
  int withheld_ = 0;
};

bool XapSection::Add(const std::string& name, std::string line) {
  if (Find(name)) return false;
  if (lines_.size() >= kLinearLimit) {
    if (index_.empty()) {
      for (std::size_t i = 0; i < lines_.size(); ++i) index_.emplace(lines_[i].first, i);
    }
    index_.emplace(name, lines_.size());
  }
  lines_.emplace_back(name, std::move(line));
  return true;
}

const std::string* XapSection::Find(std::string_view name) const {
  if (!index_.empty()) {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : &lines_[it->second].second;
  }
  for (const auto& [item, line] : lines_) {
    if (item == name) return &line;
  }
  return nullptr;
}

XapMessage::XapMessage(const std::string& header_template, Reporter& report)
    : header_template_(header_template), report_(report) {}

FastString& XapMessage::Composed() {
  if (!Builder) Builder.emplace();
  return *Builder;
}

// --- Composing ---------------------------------------------------------------

std::int16_t XapMessage::AddHeader() {
  try {
    FastString& text = Composed();
    text.Add(header_template_);
    text.Add(msgUID);
    text.Add("\nclass=");
    text.Add(msgClass);
    text.Add("\nsource=");
    text.Add(msgSource);
    text.Add("\n");
    if (!msgTarget.empty()) {
      text.Add("target=");
      text.Add(msgTarget);
      text.Add("\n");
    }
    text.Add("}\n");
  } catch (...) {
    report_.Report("Message AddHeader", "", CurrentExceptionText());
  }
  SectionOpen = false;
  return 0;
}

std::int16_t XapMessage::AddSection(const std::string& section_name) {
  FastString& text = Composed();
  if (SectionOpen) text.Add("}\n");
  text.Add(section_name);
  text.Add("\n{\n");
  SectionOpen = true;
  return 0;
}

std::int16_t XapMessage::AddItem(const std::string& /*section_name*/, const std::string& item_name,
                                 const std::string& value) {
  FastString& text = Composed();
  text.Add(item_name);
  text.Add("=");
  text.Add(value);
  text.Add("\n");
  return 0;
}

std::string XapMessage::ToXap() const { return (Builder ? Builder->Value() : std::string()) + "}\n"; }

std::int16_t XapMessage::Init(const std::string& /*text*/) {
  Composed().Reset();
  return 0;
}

// --- Reading -----------------------------------------------------------------

std::int16_t XapMessage::FromXap(std::string_view raw) {
  if (raw.empty()) return 0;
  ParseLog log(report_);
  try {
    LineReader lines(raw);
    if (!ContainsNoCase(*lines.Next(), "xap-header")) return 0;
    // A second text replaces the sections of the first instead of mixing
    // section numbers of both.
    Sections.clear();
    SectionNames.clear();
    SectionIndex.clear();
    lines.Next();  // "{": the first two lines are never read as items
    std::int32_t section = -1;
    while (std::optional<std::string_view> line = lines.Next()) {
      if (*line == "}") {
        ++section;
        Sections.emplace_back();
        HasSections = true;
        std::optional<std::string_view> name = lines.Next();
        if (!name) {
          log.Report("No line names the section opened by the last \"}\"");
          break;
        }
        RecordSectionName(ToLower(*name), static_cast<std::int16_t>(section), log);
        continue;
      }
      std::size_t eq = line->find('=');
      if (eq == std::string_view::npos) continue;
      if (section < 0) {
        ReadHeaderLine(*line, eq);
      } else {
        ReadItemLine(*line, eq, log);
      }
    }
    if (lines.Truncated()) log.Report("Message longer than 32768 lines: the rest is not read");
  } catch (...) {
    report_.Report("From XAP", "", CurrentExceptionText());
  }
  log.Finish();
  return 0;
}

void XapMessage::ReadHeaderLine(std::string_view line, std::size_t eq) {
  std::string_view name = TrimSpaces(line.substr(0, eq));
  std::string_view value = TrimSpaces(line.substr(eq + 1));
  if (EqualsNoCase(name, "uid")) {
    msgUID = value;
  } else if (EqualsNoCase(name, "class")) {
    msgClass = value;
  } else if (EqualsNoCase(name, "source")) {
    msgSource = value;
  } else if (EqualsNoCase(name, "target")) {
    msgTarget = value;
  }
}

void XapMessage::ReadItemLine(std::string_view line, std::size_t eq, ParseLog& log) {
  std::string name = ToLower(TrimSpaces(line.substr(0, eq)));
  if (!Sections.back().Add(name, std::string(line))) {
    log.Report("Section " + Dec(static_cast<std::int64_t>(Sections.size()) - 1) + ": item name already used");
  }
}

void XapMessage::RecordSectionName(std::string name, std::int16_t index, ParseLog& log) {
  if (SectionIndex.try_emplace(name, index).second) {
    SectionNames.push_back(std::move(name));
  } else {
    log.Report("Section " + Dec(index) + ": section name already used");
  }
}

std::string XapMessage::GetItem(const std::string& section_name, const std::string& item_name) {
  const XapSection* section = nullptr;
  try {
    auto it = SectionIndex.find(ToLower(section_name));
    if (it == SectionIndex.end()) return "Unknown";
    section = &Sections.at(static_cast<std::size_t>(it->second));
  } catch (...) {
    report_.Report("GetItem", "", CurrentExceptionText());
    return "Unknown";
  }
  const std::string* line = section->Find(ToLower(item_name));
  if (!line) return "";
  return line->substr(line->find('=') + 1);
}

std::vector<std::string> XapMessage::msgSection() const {
  if (SectionIndex.empty()) return {""};
  if (SectionNames.size() == 1) {
    throw std::out_of_range("msgSection: only one section name recorded, nothing to list");
  }
  return std::vector<std::string>(SectionNames.begin(), SectionNames.end() - 1);
}

const XapSection* XapMessage::msgCollection(std::int16_t Index) const {
  if (Index < 0 || static_cast<std::size_t>(Index) >= Sections.size()) return nullptr;
  return &Sections[static_cast<std::size_t>(Index)];
}

// --- Address patterns ----------------------------------------------------------

// Walks both addresses part by part (parts split at "."), without copying.
bool XapMessage::CompareAddress(const std::string& first, const std::string& second) {
  if (first.empty() || second.empty()) return false;
  std::string_view a = first;
  std::string_view b = second;
  std::size_t pa = 0;
  std::size_t pb = 0;
  for (;;) {
    std::size_t ea = a.find('.', pa);
    std::size_t eb = b.find('.', pb);
    std::string_view x = a.substr(pa, ea == std::string_view::npos ? std::string_view::npos : ea - pa);
    std::string_view y = b.substr(pb, eb == std::string_view::npos ? std::string_view::npos : eb - pb);
    if (x == ">" || y == ">") return true;
    if (x != "*" && y != "*" && !EqualsNoCase(x, y)) return false;
    bool a_ends = ea == std::string_view::npos;
    bool b_ends = eb == std::string_view::npos;
    if (a_ends || b_ends) return a_ends && b_ends;
    pa = ea + 1;
    pb = eb + 1;
  }
}

bool XapMessage::CompareClass(const std::string& xap_class) const { return EqualsNoCase(xap_class, msgClass); }

bool XapMessage::CompareSource(const std::string& source) { return CompareAddress(source, msgSource); }

bool XapMessage::CompareTarget(const std::string& target) { return CompareAddress(target, msgTarget); }

}  // namespace tessaly

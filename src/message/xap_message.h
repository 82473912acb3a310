// One xAP message, read from received text or composed for sending.
//
// Reading: FromXap once, then the header fields, GetItem, msgSection and the
// Compare* address tests. Writing: set the header fields, AddHeader, then
// AddSection/AddItem, then ToXap. The two directions do not meet: what FromXap
// read is not written by ToXap, and what AddItem wrote is not read by GetItem.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/reporter.h"
#include "message/fast_string.h"

namespace tessaly {


// One body section as received: raw item lines, each stored under its item
// name in lower case, in the order they came; the first line of a name wins.
class XapSection {
 public:
  // Adds `line` under `name`; false (nothing stored) when the name is taken.
  bool Add(const std::string& name, std::string line);
  // The stored line for `name`, or nothing.
  const std::string* Find(std::string_view name) const;
  std::size_t Count() const { return lines_.size(); }
  const std::vector<std::pair<std::string, std::string>>& Lines() const { return lines_; }

 private:
  // Small sections are searched in order; from this size on a name index
  // keeps long (hostile) sections from costing quadratic time.
  static constexpr std::size_t kLinearLimit = 16;
  std::vector<std::pair<std::string, std::string>> lines_;
  std::map<std::string, std::size_t, std::less<>> index_;
};

class XapMessage {
 public:
  // Composed headers start with `header_template` (see MakeHeaderTemplate),
  // which must outlive the message (it is kept by reference: the relay makes
  // a message for every datagram);
  // failures the message handles itself go to `report` as log file lines.
  XapMessage(const std::string& header_template, Reporter& report);

  // Header fields: "Unknown" until set or read.
  std::string msgClass = "Unknown";
  std::string msgTarget = "Unknown";
  std::string msgSource = "Unknown";
  std::string msgUID = "Unknown";

  // Composing. Each returns 0.
  std::int16_t AddHeader();
  std::int16_t AddSection(const std::string& section_name);
  std::int16_t AddItem(const std::string& section_name, const std::string& item_name, const std::string& value);
  // The composed text and a closing "}\n"; the same text on every call.
  std::string ToXap() const;
  // Discards the composed text; header fields and parsed sections stay.
  std::int16_t Init(const std::string& text);
  void Reset() {}

  // Reading. Parses a received text; returns 0.
  std::int16_t FromXap(std::string_view raw);
  // "Unknown" when the section is missing, "" when the item is missing, else
  // everything after the first "=" of the stored line, unchanged.
  std::string GetItem(const std::string& section_name, const std::string& item_name);
  // Names of the parsed sections without the last recorded one; one empty
  // name when none was recorded. Throws std::out_of_range when exactly one
  // name was recorded.
  std::vector<std::string> msgSection() const;
  // The section at `Index`, or nullptr outside the recorded sections.
  const XapSection* msgCollection(std::int16_t Index) const;

  // Address patterns: "*" matches one part, ">" the rest of the address.
  bool CompareAddress(const std::string& first, const std::string& second);
  bool CompareClass(const std::string& xap_class) const;
  bool CompareSource(const std::string& source);
  bool CompareTarget(const std::string& target);

 private:
  class ParseLog;
  void ReadHeaderLine(std::string_view line, std::size_t eq);
  void ReadItemLine(std::string_view line, std::size_t eq, ParseLog& log);
  void RecordSectionName(std::string name, std::int16_t index, ParseLog& log);

  // The builder for composed text, made on first use: a message that is
  // only read never pays for one.
  FastString& Composed();

  const std::string& header_template_;
  Reporter& report_;
  std::optional<FastString> Builder;
  bool SectionOpen = false;
  bool HasSections = false;
  std::vector<XapSection> Sections;
  // Section names in the order recorded, and name -> index.
  std::vector<std::string> SectionNames;
  std::map<std::string, std::int16_t, std::less<>> SectionIndex;
};

}  // namespace tessaly

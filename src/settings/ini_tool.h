// One INI settings file in memory: load it, read and change single keys, save
// it back sorted with upper-cased names, keeping the previous file as a
// "_bck" copy beside it.
//
// The model is an insertion-ordered dictionary. A section entry is keyed by
// the upper-cased section name and holds the name as first written; a key
// entry is keyed by SECTION "~" KEY (both upper-cased) and holds the value
// exactly as read or written. Keys that stand before any section line belong
// to the section "". The first occurrence of a section or key wins.
//
// Made for one operation of its user and then dropped; single thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/reporter.h"

namespace tessaly {


class IniTool {
 public:
  // `report` receives the reports (the program sends them as log events).
  explicit IniTool(Reporter& report);

  // Empties the model, remembers path and reads the file. Lines may end in
  // "\n" or "\r\n". A line that is neither blank, comment, section nor
  // "key=value" is reported as " Equal sign not found on line <line>" (Type
  // "IniTool") and skipped. A missing file is created empty, with its
  // folders. A file-system failure throws (std::filesystem::filesystem_error
  // or std::system_error) and leaves the model empty.
  void Load(const std::string& path);

  // The value of Key in Header, names compared without regard to case;
  // DefaultValue when the key is missing or its value is empty.
  std::string Read(const std::string& Header, const std::string& Key, const std::string& DefaultValue) const;

  // Adds or replaces a key (a replaced key keeps its place), adding the
  // section entry when missing. Memory only.
  void WriteKey(const std::string& Header, const std::string& Key, const std::string& newValue);

  // Deletes the key if present; the section stays. Memory only.
  void Remove(const std::string& Header, const std::string& Key);

  // Section names as first written, in insertion order; one empty string
  // when there are none.
  std::vector<std::string> Headers() const;

  // Upper-cased key names of one section (matched literally, without regard
  // to case), in insertion order, skipping names that are empty or only
  // blanks; one empty string when there are none.
  std::vector<std::string> Keys(const std::string& Header) const;

  // Empties the model; the remembered path stays.
  void Clear();

  // Writes the model to the remembered path: keys of the section "" first,
  // then "[SECTION]" lines in ascending order with their keys in ascending
  // order as "KEY=value", every line ending "\r\n". Sections without keys
  // and comments are not written. The previous file is first copied to
  // path + "_bck"; the new text goes to a temporary file in the same folder
  // that is renamed over the path, so the old file stays whole when the save
  // fails. Names longer than 100 (section) or 65 (key) characters, no loaded
  // path or any file-system failure: reported as "IniTool Save <path>"
  // (Type "Tessaly") with the error, nothing thrown.
  void Save();

  static constexpr std::size_t kMaxSectionName = 100;
  static constexpr std::size_t kMaxKeyName = 65;

 private:
  struct Entry {
    std::string key;  // dictionary key
    std::string value;
    bool section = false;
    bool removed = false;
  };

  const Entry* Find(const std::string& key) const;
  void Add(std::string key, std::string value, bool section);
  void ApplyLine(std::string_view raw, std::string& current_section);
  void WriteFile() const;

  Reporter& report_;
  std::vector<Entry> entries_;  // insertion order; removed entries stay as holes
  std::unordered_map<std::string, std::size_t> index_;
  std::string path_;
};

}  // namespace tessaly

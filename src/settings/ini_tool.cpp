#include "settings/ini_tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <tuple>
#include <utility>

#include "common/folders.h"
#include "common/text.h"

namespace tessaly {

namespace fs = std::filesystem;

namespace {

constexpr char kSeparator = '~';

std::string DictionaryKey(std::string_view header, std::string_view key) {
  return ToUpper(header) + kSeparator + ToUpper(key);
}

bool OnlyBlanks(std::string_view s) { return s.find_first_not_of(' ') == std::string_view::npos; }

// One-element list of "" for nothing, as the callers expect.
std::vector<std::string> NonEmptyList(std::vector<std::string> names) {
  if (names.empty()) names.emplace_back();
  return names;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno ? errno : EIO, std::generic_category(), what);
}

void RemoveQuietly(const std::string& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

// Copies `from` to `to` through a temporary name, so an existing `to` is only
// ever replaced by a complete copy.
void CopyReplacing(const std::string& from, const std::string& to) {
  const std::string temp = to + "_new";
  try {
    fs::copy_file(from, temp, fs::copy_options::overwrite_existing);
    fs::rename(temp, to);
  } catch (...) {
    RemoveQuietly(temp);
    throw;
  }
}

}  // namespace

IniTool::IniTool(Reporter& report) : report_(report) {}

const IniTool::Entry* IniTool::Find(const std::string& key) const {
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : &entries_[it->second];
}

void IniTool::Add(std::string key, std::string value, bool section) {
  if (index_.count(key)) return;
  index_.emplace(key, entries_.size());
  entries_.push_back(Entry{std::move(key), std::move(value), section, false});
}

void IniTool::Clear() {
  entries_.clear();
  index_.clear();
}

void IniTool::Load(const std::string& path) {
  Clear();
  path_ = path;
  if (!fs::exists(path)) {
    CreateFolders(path, report_);
    std::ofstream create(path, std::ios::binary);
    if (!create) ThrowErrno("cannot create " + path);
    return;
  }
  if (fs::is_directory(path)) {
    throw fs::filesystem_error("cannot read settings", path, std::make_error_code(std::errc::is_a_directory));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) ThrowErrno("cannot open " + path);
  std::ostringstream whole;
  whole << in.rdbuf();
  if (in.bad()) ThrowErrno("cannot read " + path);
  const std::string text = std::move(whole).str();

  std::string current_section;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ApplyLine(line, current_section);
    start = end + 1;
  }
}

void IniTool::ApplyLine(std::string_view raw, std::string& current_section) {
  const std::string_view line = TrimSpaces(raw);
  if (line.empty() || line.front() == ';') return;
  if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
    current_section = std::string(line.substr(1, line.size() - 2));
    Add(ToUpper(current_section), current_section, true);
    return;
  }
  const std::size_t equal = line.find('=');
  if (equal == std::string_view::npos) {
    report_.Report("IniTool", " Equal sign not found on line " + std::string(line), "");
    return;
  }
  Add(DictionaryKey(current_section, line.substr(0, equal)), std::string(line.substr(equal + 1)), false);
}

std::string IniTool::Read(const std::string& Header, const std::string& Key, const std::string& DefaultValue) const {
  const Entry* e = Find(DictionaryKey(Header, Key));
  if (e == nullptr || e->value.empty()) return DefaultValue;
  return e->value;
}

void IniTool::WriteKey(const std::string& Header, const std::string& Key, const std::string& newValue) {
  Add(ToUpper(Header), Header, true);
  std::string key = DictionaryKey(Header, Key);
  auto it = index_.find(key);
  if (it != index_.end()) {
    entries_[it->second].value = newValue;
    return;
  }
  Add(std::move(key), newValue, false);
}

void IniTool::Remove(const std::string& Header, const std::string& Key) {
  auto it = index_.find(DictionaryKey(Header, Key));
  if (it == index_.end()) return;
  Entry& e = entries_[it->second];
  e.removed = true;
  e.key.clear();
  e.value.clear();
  index_.erase(it);
}

std::vector<std::string> IniTool::Headers() const {
  std::vector<std::string> names;
  for (const Entry& e : entries_) {
    if (!e.removed && e.section) names.push_back(e.value);
  }
  return NonEmptyList(std::move(names));
}

std::vector<std::string> IniTool::Keys(const std::string& Header) const {
  // Dictionary keys are upper-cased, so comparing with the upper-cased
  // prefix is the case-blind literal match.
  const std::string prefix = ToUpper(Header) + kSeparator;
  std::vector<std::string> names;
  for (const Entry& e : entries_) {
    if (e.removed || e.section || e.key.compare(0, prefix.size(), prefix) != 0) continue;
    std::string name = e.key.substr(e.key.find(kSeparator) + 1);
    if (!OnlyBlanks(name)) names.push_back(std::move(name));
  }
  return NonEmptyList(std::move(names));
}

void IniTool::Save() {
  try {
    WriteFile();
  } catch (...) {
    report_.Report("Tessaly", "IniTool Save " + path_, CurrentExceptionText());
  }
}

void IniTool::WriteFile() const {
  struct Pair {
    std::string section;
    std::string key;
    const std::string* value;
  };
  std::vector<Pair> pairs;
  for (const Entry& e : entries_) {
    if (e.removed || e.section) continue;
    const std::size_t sep = e.key.find(kSeparator);
    Pair p{e.key.substr(0, sep), e.key.substr(sep + 1), &e.value};
    if (p.section.size() > kMaxSectionName) {
      throw std::length_error("section name longer than " + Dec(kMaxSectionName) + " characters: " + p.section);
    }
    if (p.key.size() > kMaxKeyName) {
      throw std::length_error("key name longer than " + Dec(kMaxKeyName) + " characters: " + p.key);
    }
    pairs.push_back(std::move(p));
  }
  if (path_.empty()) throw std::invalid_argument("no settings file loaded");

  if (fs::exists(path_)) CopyReplacing(path_, path_ + "_bck");

  std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
    return std::tie(a.section, a.key) < std::tie(b.section, b.key);
  });
  std::string text;
  std::string current;
  for (const Pair& p : pairs) {
    if (p.section != current) {
      text += "[" + p.section + "]\r\n";
      current = p.section;
    }
    text += p.key + "=" + *p.value + "\r\n";
  }

  const std::string temp = path_ + "_new";
  try {
    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(temp.c_str(), "wb"));
    if (!out) ThrowErrno("cannot create " + temp);
    if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size()) ThrowErrno("cannot write " + temp);
    if (std::fclose(out.release()) != 0) ThrowErrno("cannot write " + temp);
    fs::rename(temp, path_);
  } catch (...) {
    RemoveQuietly(temp);
    throw;
  }
}

}  // namespace tessaly

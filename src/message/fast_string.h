// A string builder that appends pieces without copying what it already holds;
// the text is joined once, by Value.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

class FastString {
 public:
  FastString();

  // Discards every piece and starts again as new.
  void Reset();

  // All pieces joined in order.
  std::string Value() const;

  // Stores one more piece; the slot list grows by 100 slots when full.
  void Add(std::string_view piece);

 private:
  static constexpr std::size_t kGrowth = 100;
  std::vector<std::string> slots_;  // slot 0 stays empty
  std::size_t next_ = 1;
};

}  // namespace tessaly

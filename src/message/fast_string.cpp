#include "message/fast_string.h"

namespace tessaly {

FastString::FastString() { Reset(); }

void FastString::Reset() {
  slots_.assign(kGrowth + 1, std::string());
  next_ = 1;
}

std::string FastString::Value() const {
  std::size_t total = 0;
  for (std::size_t i = 1; i < next_; ++i) total += slots_[i].size();
  std::string out;
  out.reserve(total);
  for (std::size_t i = 1; i < next_; ++i) out += slots_[i];
  return out;
}

void FastString::Add(std::string_view piece) {
  if (next_ >= slots_.size()) slots_.resize(slots_.size() + kGrowth);
  slots_[next_++] = std::string(piece);
}

}  // namespace tessaly

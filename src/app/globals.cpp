#include "app/globals.h"

#include "message/out_queue.h"
#include "transport/xap.h"

namespace tessaly {

void PendingError::SetFromCurrentException() {
  try {
    throw;
  } catch (const std::exception& e) {
    Set(0, e.what());
  } catch (...) {
    Set(0, "Unknown error");
  }
}

Globals::Globals(Platform platform) : Sys(platform) {}
Globals::~Globals() = default;

}  // namespace tessaly

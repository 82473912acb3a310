#include "state/errors.h"

#include "common/reporter.h"
#include "state/globals.h"
#include "state/log_file.h"

namespace tessaly {

void PendingError::SetFromCurrentException() { Set(0, CurrentExceptionText()); }

void LogCurrentException(Globals& g, const std::string& where) {
  g.Err.SetFromCurrentException();
  WriteLogFile(g, "Tessaly", where);
}

}  // namespace tessaly

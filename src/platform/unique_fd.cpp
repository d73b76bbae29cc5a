#include "platform/unique_fd.h"

#include <unistd.h>

namespace orvane {

void TUniqueFd::Reset(int AFd) {
  // Not retried after EINTR: on Linux the descriptor is gone either way.
  if (FFd >= 0) ::close(FFd);
  FFd = AFd;
}

}  // namespace orvane

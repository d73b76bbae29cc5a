#include "platform/thread_id.h"

#include <unistd.h>

namespace orvane {

int64_t CurrentThreadId() {
  return static_cast<int64_t>(::gettid());
}

}  // namespace orvane

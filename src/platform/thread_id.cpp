#include "platform/thread_id.h"

#include <unistd.h>

namespace orvane {

int64_t CurrentThreadId() {
  // Asked once per thread: the id never changes while the thread lives.
  thread_local const int64_t id = static_cast<int64_t>(::gettid());
  return id;
}

}  // namespace orvane

#include "channels/split_send.h"

namespace orvane {

size_t TSplitSendResume::Start(const std::string& AData) {
  const bool resend = FKept && AData == FBlock;
  const size_t start = resend ? FDelivered : 0;
  FResending = resend;
  Forget();
  return start;
}

void TSplitSendResume::Finished(const std::string& AData, bool AOk, size_t ADelivered) {
  // A resend that fails is not continued again: the bridge has dropped the block, and
  // the same bytes later are a new block the application wants whole.
  const bool keep = !AOk && !FResending && ADelivered > 0 && ADelivered < AData.size();
  FResending = false;
  if (!keep) return;
  FBlock = AData;
  FDelivered = ADelivered;
  FKept = true;
}

void TSplitSendResume::Opened(bool AOk) {
  if (!AOk) Forget();
}

void TSplitSendResume::Forget() {
  // A kept block may be megabytes; give the memory back.
  std::string().swap(FBlock);
  FDelivered = 0;
  FKept = false;
}

}  // namespace orvane

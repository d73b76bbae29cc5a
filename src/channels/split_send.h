#pragma once

#include <cstddef>
#include <string>

namespace orvane {

// The resend rule of a block sent in pieces (see IServerInterface::Send_String): after a
// failure the undelivered rest is kept for one resend of the same bytes.
// Threads: the channel's worker only.
class TSplitSendResume {
 public:
  // Where a Send_String of AData begins: the first undelivered piece when it resends the
  // block that failed, otherwise 0. Either way the kept rest is used up.
  size_t Start(const std::string& AData);
  // The Send_String begun with Start ended; ADelivered leading bytes of AData (whole
  // pieces, counted from the start of the block) reached the far end.
  void Finished(const std::string& AData, bool AOk, size_t ADelivered);
  // A failed Open ends the chance of a resend: the bridge drops the block then.
  void Opened(bool AOk);
  // Bytes of the kept block that a resend would skip; 0 when nothing is kept.
  size_t Delivered() const { return FKept ? FDelivered : 0; }

 private:
  void Forget();

  std::string FBlock;
  size_t FDelivered = 0;
  bool FKept = false;
  bool FResending = false;
};

}  // namespace orvane

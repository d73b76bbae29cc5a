#include "channels/split_send.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

// One call on the helper: a Send_String (Start, then Finished with its outcome) or an Open.
struct TStep {
  enum { Send, Open } Kind;
  std::string Data;     // Send: the block
  bool Ok = true;       // Send and Open: the outcome
  size_t Delivered{0};  // Send: bytes that reached the far end
  size_t WantStart{0};  // Send: where Start must begin
};

TStep Send(const std::string& AData, bool AOk, size_t ADelivered, size_t AWantStart) {
  return {TStep::Send, AData, AOk, ADelivered, AWantStart};
}
TStep Open(bool AOk = true) {
  return {TStep::Open, {}, AOk, 0, 0};
}

struct TCase {
  const char* Name;
  std::vector<TStep> Steps;
};

TEST(SplitSendResume, ResendRule) {
  const std::string block(10, 'a');
  const std::string other(10, 'b');
  const std::vector<TCase> cases = {
      {"resend of the same block continues at the first undelivered piece",
       {Send(block, false, 4, 0), Open(), Send(block, true, 10, 4)}},
      {"a block of other bytes is sent whole and forgets the rest",
       {Send(block, false, 4, 0), Send(other, true, 10, 0), Send(block, true, 10, 0)}},
      {"a failed Open forgets the rest", {Send(block, false, 4, 0), Open(false), Send(block, true, 10, 0)}},
      {"only one resend: after it fails too, the same bytes are a new block",
       {Send(block, false, 4, 0), Send(block, false, 7, 4), Send(block, true, 10, 0)}},
      {"nothing delivered: the resend is whole", {Send(block, false, 0, 0), Send(block, true, 10, 0)}},
      {"a success keeps nothing", {Send(block, true, 10, 0), Send(block, true, 10, 0)}},
      {"a resend that succeeds leaves nothing behind",
       {Send(block, false, 4, 0), Send(block, true, 10, 4), Send(block, true, 10, 0)}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSplitSendResume resume;
    for (const TStep& step : c.Steps) {
      if (step.Kind == TStep::Open) {
        resume.Opened(step.Ok);
        continue;
      }
      EXPECT_EQ(resume.Start(step.Data), step.WantStart);
      resume.Finished(step.Data, step.Ok, step.Delivered);
    }
    EXPECT_EQ(resume.Delivered(), 0u);
  }
}

}  // namespace
}  // namespace orvane

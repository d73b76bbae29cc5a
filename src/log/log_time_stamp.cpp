#include "log/log_time_stamp.h"

#include "platform/local_time.h"

namespace orvane {

namespace {

void PutTwoDigits(char* AOut, int AValue) {
  AOut[0] = static_cast<char>('0' + AValue / 10 % 10);
  AOut[1] = static_cast<char>('0' + AValue % 10);
}

}  // namespace

void TLogTimeStamp::Append(std::string& ALine, int64_t AEpochSeconds, int AMillisecond) {
  if (FSecond != AEpochSeconds) {
    const TLocalTime time = LocalTimeOf(AEpochSeconds);
    PutTwoDigits(&FSecondText[0], time.Hour);
    FSecondText[2] = ':';
    PutTwoDigits(&FSecondText[3], time.Minute);
    FSecondText[5] = ':';
    PutTwoDigits(&FSecondText[6], time.Second);
    FSecondText[8] = '.';
    FSecond = AEpochSeconds;
  }
  ALine.append(FSecondText.data(), FSecondText.size());
  const char millis[3] = {static_cast<char>('0' + AMillisecond / 100 % 10),
                          static_cast<char>('0' + AMillisecond / 10 % 10),
                          static_cast<char>('0' + AMillisecond % 10)};
  ALine.append(millis, sizeof millis);
}

}  // namespace orvane

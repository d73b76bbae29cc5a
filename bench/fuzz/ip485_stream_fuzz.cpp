// libFuzzer harness for the IP485 receive side: any stream, cut at any point,
// gives no crash, no read past the buffer, and never loses or invents bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "channels/ip485_frame.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize == 0) return 0;
  // The first byte says where the stream is split into two reads.
  const size_t split = AData[0] % ASize;
  const std::string stream(reinterpret_cast<const char*>(AData) + 1, ASize - 1);

  std::string buffer = stream.substr(0, split);
  std::string output;
  CutIp485Frames(buffer, output);
  buffer += stream.substr(split);
  CutIp485Frames(buffer, output);
  // What was cut plus what is held can never exceed what arrived.
  if (output.size() + buffer.size() > stream.size()) std::abort();

  std::string ackBuffer = stream;
  TakeIp485Ack(ackBuffer, std::string("\x00\x34\x00\x00\x01\x07\x00\x01", 8));
  return 0;
}

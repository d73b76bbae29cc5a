// libFuzzer harness for the MQTT decoders: any bytes, no crash, no read past the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "support/mqtt_decode_all.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (!orvane::test::DecodeAllMqtt(orvane::TByteView(AData, ASize))) std::abort();
  return 0;
}

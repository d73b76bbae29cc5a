// libFuzzer harness for the configuration loader: any document gives no crash
// and at most one message, every record handed over has its three required
// fields, and what was loaded saves and loads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "model/config_file.h"

using namespace orvane;

namespace {

class TCountedMessages : public IUserMessages {
 public:
  void Show(const std::string&, const std::string&, TMessageKind) override { ++Count; }
  int Count = 0;
};

bool Load(std::string_view AText, std::vector<TLumPortParams>& APorts, TCountedMessages& AMessages) {
  return LoadConfigText(
      AText, "config.cfg",
      [&](const TLumPortParams& APort) {
        if (APort.ComName.empty() || APort.IpAddress.empty()) std::abort();
        APorts.push_back(APort);
      },
      AMessages);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string_view text(reinterpret_cast<const char*>(AData), ASize);
  std::vector<TLumPortParams> ports;
  TCountedMessages messages;
  const bool loaded = Load(text, ports, messages);
  if (messages.Count > 1 || loaded == (messages.Count != 0)) std::abort();

  const TPortParamsVectorView view(ports);
  const std::string saved = ConfigDocumentText(view);
  std::vector<TLumPortParams> again;
  TCountedMessages none;
  if (!Load(saved, again, none) || none.Count != 0 || again != ports) std::abort();
  return 0;
}

// A network converter on 127.0.0.1 for trying ports without hardware: in IP485
// mode it acknowledges every frame and sends its data back in a frame of its
// own, in pass-through mode it sends every byte back. Ends on SIGINT or SIGTERM.

#include <poll.h>

#include <cerrno>
#include <charconv>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "platform/stop_signals.h"
#include "support/fake_converter.h"

namespace {

constexpr const char* USAGE =
    "Usage: converter_sim [--port N] [--passthrough]\n"
    "  --port N        TCP port on 127.0.0.1 (default 7002; 0: one the system picks)\n"
    "  --passthrough   send every byte back as it came instead of speaking IP485\n";

struct TSimOptions {
  uint16_t Port = 7002;
  bool PassThrough = false;
};

bool ParseOptions(int argc, char** argv, TSimOptions& AOptions) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--passthrough") {
      AOptions.PassThrough = true;
    } else if (arg == "--port" && i + 1 < argc) {
      const std::string_view text = argv[++i];
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), AOptions.Port);
      if (ec != std::errc() || end != text.data() + text.size()) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TSimOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::cerr << USAGE;
    return 2;
  }
  try {
    // Before the converter's thread starts, so that it inherits the signals blocked.
    orvane::TStopSignals signals;
    using TFakeConverter = orvane::test::TFakeConverter;
    TFakeConverter converter(
        options.PassThrough ? TFakeConverter::TMode::PassThrough : TFakeConverter::TMode::Frames,
        options.Port);
    converter.SetEcho(true);
    std::cout << (options.PassThrough ? "Pass-through" : "IP485")
              << " converter on 127.0.0.1:" << converter.Port() << ", echoing" << std::endl;
    pollfd pfd{signals.Fd(), POLLIN, 0};
    while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
    converter.Stop();
    std::cout << "Connections " << converter.Connections() << ", bytes received "
              << converter.Received().size();
    if (!options.PassThrough) std::cout << ", frames " << converter.Frames().size();
    std::cout << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "converter_sim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "headless_process.h"
#include "portkit/port_kit.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using test::TProcess;

// tools/converter_sim as the README runs it, on a port the system picks.
class TSimProcess : public test::TChildProcess {
 public:
  explicit TSimProcess(const std::vector<std::string>& AArgs)
      : TChildProcess(WithProgram(AArgs), {.In = false, .Out = true, .Err = true}) {}

  // The port from its first line ("... converter on 127.0.0.1:N, echoing"), 0 when none came.
  uint16_t WaitPort() {
    const std::string marker = "127.0.0.1:";
    test::WaitFor([&] {
      test::ReadAvailable(Out(), OutText);
      return OutText.find(", echoing\n") != std::string::npos;
    });
    const size_t at = OutText.find(marker);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(OutText.substr(at + marker.size())));
  }
  std::string OutText;

 private:
  static std::vector<std::string> WithProgram(std::vector<std::string> AArgs) {
    AArgs.insert(AArgs.begin(), ORVANE_CONVERTER_SIM);
    return AArgs;
  }
};

// A port written with a short protocol name, through the simulator of its kind and back.
// A name that did not load as its label would not come back: raw bytes to the IP485
// simulator are dropped, and its frames are not what a pass-through port passes on.
TEST(TConverterSim, PortsWithShortProtocolNamesEchoThroughTheSimulator) {
  struct TCase {
    const char* Protocol;
    std::vector<std::string> SimArgs;
    const char* Summary;  // the simulator's last line after one exchange
  };
  const TCase cases[] = {
      {"ip485", {"--port", "0"}, "Connections 1, bytes received 31, frames 1\n"},  // 24-byte header + 7
      {"PassThrough", {"--port", "0", "--passthrough"}, "Connections 1, bytes received 7\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Protocol);
    TSimProcess sim(c.SimArgs);
    const uint16_t port = sim.WaitPort();
    ASSERT_NE(port, 0) << sim.OutText;
    test::TTempDir data;
    test::TTempDir ports;
    test::WriteConfig(data.Str(), {"<Port ComName=\"COM80\" IpAddress=\"127.0.0.1\" PortNumber=\"" +
                                   std::to_string(port) + "\" Protocol=\"" + c.Protocol + "\"/>"});
    TProcess service({"--headless", "--data-dir", data.Str(), "--port-dir", ports.Str()});
    ASSERT_TRUE(service.WaitOut("Ready\n"));
    test::TPtyClient app(ports.Str() + "/COM80");
    ASSERT_TRUE(app.Valid());
    ASSERT_TRUE(service.WaitOut("Connect - OK")) << service.OutText;
    ASSERT_TRUE(app.Write("hello\r\n"));
    EXPECT_EQ(app.Read(7), "hello\r\n");

    ::kill(service.Pid(), SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
    ::kill(sim.Pid(), SIGTERM);
    int status = 0;
    ASSERT_TRUE(sim.Wait(status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    test::ReadAvailable(sim.Out(), sim.OutText);
    EXPECT_NE(sim.OutText.find(c.Summary), std::string::npos) << sim.OutText;
  }
}

TEST(TConverterSim, ABusyPortOrABadSwitchEndsWithAMessage) {
  TSimProcess first({"--port", "0"});
  const uint16_t port = first.WaitPort();
  ASSERT_NE(port, 0);
  struct TCase {
    std::vector<std::string> Args;
    int Code;
    const char* Err;
  };
  const TCase cases[] = {
      {{"--port", std::to_string(port)}, 1, "bind failed: Address already in use"},
      {{"--port", "70000"}, 2, "Usage: converter_sim"},
      {{"--bogus"}, 2, "Usage: converter_sim"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args[0] + " " + (c.Args.size() > 1 ? c.Args[1] : ""));
    TSimProcess sim(c.Args);
    int status = 0;
    ASSERT_TRUE(sim.Wait(status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.Code);
    std::string err;
    test::ReadAvailable(sim.Err(), err);
    EXPECT_NE(err.find(c.Err), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace orvane

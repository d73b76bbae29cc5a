#include "model/config_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

const std::string LOAD_TITLE = "Загрузка конфигурации";
const std::string SAVE_TITLE = "Сохранение конфигурации";
const std::string LOAD_ERROR = "Ошибка при загрузке файла конфигурации\r\n";
const std::string UNKNOWN_FILE = "Неизвестный файл конфигурации\r\n";
const std::string SAVE_ERROR = "Ошибка при сохранении файла конфигурации\r\n";
const std::string CANNOT_REPLACE = "Невозможно удалить файл конфигурации\r\n";

struct TShown {
  std::string Title;
  std::string Text;
  TMessageKind Kind;
};

class TRecordedMessages : public IUserMessages {
 public:
  void Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) override {
    Shown.push_back({ATitle, AText, AKind});
  }
  std::vector<TShown> Shown;
};

void WriteFile(const fs::path& APath, const std::string& AText) {
  std::ofstream out(APath, std::ios::binary | std::ios::trunc);
  out << AText;
  ASSERT_TRUE(out.good()) << APath;
}

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

unsigned Mode(const fs::path& APath) {
  struct stat st {};
  EXPECT_EQ(::stat(APath.c_str(), &st), 0) << APath;
  return st.st_mode & 07777;
}

// What a Port element with only the three required attributes loads as.
TLumPortParams FileDefaults(const std::string& AComName, const std::string& AIpAddress, int32_t APortNumber) {
  TLumPortParams p;
  p.ComName = AComName;
  p.IpAddress = AIpAddress;
  p.PortNumber = APortNumber;
  p.Protocol = PROTOCOL_IP485;
  p.ReadIntervalTimeout = 4;
  return p;
}

void ExpectSameParams(const TLumPortParams& AActual, const TLumPortParams& AExpected) {
  EXPECT_EQ(AActual.ComName, AExpected.ComName);
  EXPECT_EQ(AActual.IpAddress, AExpected.IpAddress);
  EXPECT_EQ(AActual.PortNumber, AExpected.PortNumber);
  EXPECT_EQ(+AActual.LineNumber, +AExpected.LineNumber);
  EXPECT_EQ(AActual.Protocol, AExpected.Protocol);
  EXPECT_EQ(AActual.ReadPacketTimeout, AExpected.ReadPacketTimeout);
  EXPECT_EQ(AActual.ReadIntervalTimeout, AExpected.ReadIntervalTimeout);
  EXPECT_EQ(AActual.Header, AExpected.Header);
  EXPECT_EQ(AActual.Comment, AExpected.Comment);
  EXPECT_EQ(AActual.isRealPort, AExpected.isRealPort);
  EXPECT_EQ(+AActual.RealPortBaudRate, +AExpected.RealPortBaudRate);
  EXPECT_EQ(+AActual.RealPortBitData, +AExpected.RealPortBitData);
  EXPECT_EQ(static_cast<int>(AActual.RealPortParityBits), static_cast<int>(AExpected.RealPortParityBits));
  EXPECT_EQ(static_cast<int>(AActual.RealPortStopBits), static_cast<int>(AExpected.RealPortStopBits));
  EXPECT_EQ(AActual.RealPortTunnelMode, AExpected.RealPortTunnelMode);
  EXPECT_EQ(AActual.MqttHost, AExpected.MqttHost);
  EXPECT_EQ(AActual.MqttTopic, AExpected.MqttTopic);
  EXPECT_EQ(AActual.MqttUserName, AExpected.MqttUserName);
  EXPECT_EQ(AActual.MqttPassword, AExpected.MqttPassword);
  EXPECT_EQ(AActual.MqttSecurityKey, AExpected.MqttSecurityKey);
  EXPECT_EQ(AActual.SendPause, AExpected.SendPause);
  EXPECT_EQ(AActual.MqttTls, AExpected.MqttTls);
  EXPECT_EQ(AActual.MqttCaFile, AExpected.MqttCaFile);
  EXPECT_EQ(AActual.MqttVerifyCert, AExpected.MqttVerifyCert);
}

std::vector<std::string> Names(const std::vector<TLumPortParams>& APorts) {
  std::vector<std::string> names;
  for (const auto& p : APorts) names.push_back(p.ComName);
  return names;
}

std::vector<std::string> FilesIn(const fs::path& ADir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(ADir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  fs::path Path() const { return FDir.Path() / "config.cfg"; }
  // The full path as the messages show it.
  std::string PathText() const { return Path().string(); }

  bool Load() { return LoadFrom(FDir.Str()); }
  bool LoadFrom(const std::string& ADataDir) {
    FPorts.clear();
    FMessages.Shown.clear();
    return LoadConfig(
        ADataDir, [this](const TLumPortParams& APort) { FPorts.push_back(APort); }, FMessages);
  }
  bool Save(const std::vector<TLumPortParams>& APorts) { return SaveTo(FDir.Str(), APorts); }
  bool SaveTo(const std::string& ADataDir, const std::vector<TLumPortParams>& APorts) {
    FMessages.Shown.clear();
    const TPortParamsVectorView view(APorts);
    return SaveConfig(ADataDir, view, FMessages);
  }

  // The text of the only message shown, which must be a warning titled ATitle.
  std::string OnlyMessage(const std::string& ATitle) {
    if (FMessages.Shown.size() != 1) {
      ADD_FAILURE() << FMessages.Shown.size() << " messages shown";
      return {};
    }
    EXPECT_EQ(FMessages.Shown[0].Title, ATitle);
    EXPECT_EQ(FMessages.Shown[0].Kind, TMessageKind::Warning);
    return FMessages.Shown[0].Text;
  }

  test::TTempDir FDir;
  TRecordedMessages FMessages;
  std::vector<TLumPortParams> FPorts;
};

// One port of each protocol with every field away from its default, and texts
// that need escaping.
std::vector<TLumPortParams> SamplePorts() {
  TLumPortParams ip485;
  ip485.ComName = "COM5";
  ip485.IpAddress = "192.168.0.10";
  ip485.PortNumber = 4660;
  ip485.LineNumber = 255;
  ip485.Protocol = PROTOCOL_IP485;
  ip485.ReadPacketTimeout = 65535;
  ip485.ReadIntervalTimeout = 1000;
  ip485.Header = "Щит №1 & <насосы> \"север\" 'юг'";
  ip485.Comment = "строка 1~строка 2\tтаб\rодин CR";
  ip485.MqttHost = "h1";
  ip485.MqttTopic = "/t1";
  ip485.MqttUserName = "u1";
  ip485.MqttPassword = "p&ss<w>\"rd'";
  ip485.MqttSecurityKey = 1;
  ip485.SendPause = 0;

  TLumPortParams direct;
  direct.ComName = "COM3(r)";
  direct.IpAddress = "converter.local";
  direct.PortNumber = -5;
  direct.LineNumber = 3;
  direct.Protocol = PROTOCOL_DIRECT;
  direct.ReadPacketTimeout = 10;
  direct.ReadIntervalTimeout = 0;
  direct.Header = "Котельная";
  direct.Comment = "~";
  direct.isRealPort = true;
  direct.RealPortBaudRate = br256000;
  direct.RealPortBitData = dbSeven;
  direct.RealPortParityBits = TParityBits::Space;
  direct.RealPortStopBits = TStopBits::Two;
  direct.RealPortTunnelMode = true;
  direct.MqttHost = "h2";
  direct.MqttTopic = "/t2";
  direct.MqttUserName = "u2";
  direct.MqttPassword = "p2";
  direct.MqttSecurityKey = 2147483648u;

  TLumPortParams mqtt;
  mqtt.ComName = "COM12";
  mqtt.IpAddress = "10.1.1.1";
  mqtt.PortNumber = 70000;
  mqtt.LineNumber = 1;
  mqtt.Protocol = PROTOCOL_MQTT;
  mqtt.ReadPacketTimeout = 1;
  mqtt.ReadIntervalTimeout = 65535;
  mqtt.Header = "&amp; stays as typed";
  mqtt.Comment = "<!-- not a comment -->";
  mqtt.isRealPort = false;
  mqtt.RealPortBaudRate = br110;
  mqtt.RealPortBitData = dbSix;
  mqtt.RealPortParityBits = TParityBits::Odd;
  mqtt.RealPortStopBits = TStopBits::OneAndHalf;
  mqtt.RealPortTunnelMode = true;
  mqtt.MqttHost = "broker.example:8883";
  mqtt.MqttTopic = "/{8F0C2D1E-0000-4000-8000-000000000001}";
  mqtt.MqttUserName = "оператор";
  mqtt.MqttPassword = "пароль & <секрет> \"кавычки\"";
  mqtt.MqttSecurityKey = 4294967295u;
  mqtt.SendPause = SEND_PAUSE_MAX_MS;
  mqtt.MqttTls = true;
  mqtt.MqttCaFile = "/etc/orvane/ca & \"брокер\".pem";
  mqtt.MqttVerifyCert = false;
  return {ip485, direct, mqtt};
}

// ---------------------------------------------------------------- loading

TEST_F(ConfigFileTest, MissingFileIsFalseWithoutMessage) {
  EXPECT_FALSE(Load());
  EXPECT_TRUE(FPorts.empty());
  EXPECT_TRUE(FMessages.Shown.empty());
  // A link whose file is gone counts as no file.
  fs::create_symlink(FDir.Path() / "gone.cfg", Path());
  EXPECT_FALSE(Load());
  EXPECT_TRUE(FMessages.Shown.empty());
}

TEST_F(ConfigFileTest, RootAloneIsAnEmptyList) {
  WriteFile(Path(), R"(<Orvane Description="Orvane config file" />)");
  EXPECT_TRUE(Load());
  EXPECT_TRUE(FPorts.empty());
  EXPECT_TRUE(FMessages.Shown.empty());
}

TEST_F(ConfigFileTest, HandWrittenPortFillsEveryFieldAndTheNextStartsFromDefaults) {
  // Attributes in no particular order; Description is ignored.
  WriteFile(Path(), R"xml(<?xml version="1.0" encoding="UTF-8"?>
<!-- written by hand -->
<Orvane Description="anything">
  <Port RealPortTunnelMode="True" MqttSecurityKey="4000000000" isRealPort="1" Comment="первая~вторая"
        ComName="COM7(r)" Header="Котельная &amp; насосы" PortNumber="4001" IpAddress="10.0.0.7"
        LineNumber="2" Protocol="MQTT" ReadPacketTimeout="150" ReadIntervalTimeout="20"
        MqttHost="broker.local:1884" MqttTopic="/plant/7" MqttUserName="оператор"
        MqttPassword="p&lt;w&quot;d" RealPortBaudRate="13" RealPortBitData="2"
        RealPortParityBits="4" RealPortStopBits="2"/>
  <Port ComName="COM8" IpAddress="10.0.0.8" PortNumber="4002"/>
</Orvane>
)xml");
  ASSERT_TRUE(Load());
  EXPECT_TRUE(FMessages.Shown.empty());
  ASSERT_EQ(FPorts.size(), 2u);

  TLumPortParams first;
  first.ComName = "COM7(r)";
  first.IpAddress = "10.0.0.7";
  first.PortNumber = 4001;
  first.LineNumber = 2;
  first.Protocol = "MQTT";
  first.ReadPacketTimeout = 150;
  first.ReadIntervalTimeout = 20;
  first.Header = "Котельная & насосы";
  first.Comment = "первая~вторая";
  first.isRealPort = true;
  first.RealPortBaudRate = br115200;
  first.RealPortBitData = dbSeven;
  first.RealPortParityBits = TParityBits::Space;
  first.RealPortStopBits = TStopBits::Two;
  first.RealPortTunnelMode = true;
  first.MqttHost = "broker.local:1884";
  first.MqttTopic = "/plant/7";
  first.MqttUserName = "оператор";
  first.MqttPassword = "p<w\"d";
  first.MqttSecurityKey = 4000000000u;
  ExpectSameParams(FPorts[0], first);
  // Nothing carries over from the first element.
  ExpectSameParams(FPorts[1], FileDefaults("COM8", "10.0.0.8", 4002));
}

TEST_F(ConfigFileTest, ValuesOfOneAttribute) {
  struct TCase {
    std::string Attributes;
    std::function<void(TLumPortParams&)> Expect;  // applied to the defaults
  };
  const TCase cases[] = {
      {R"(LineNumber="300")", [](auto& p) { p.LineNumber = 44; }},  // low byte
      {R"(LineNumber="-1")", [](auto& p) { p.LineNumber = 255; }},
      {R"(ReadPacketTimeout="65537")", [](auto& p) { p.ReadPacketTimeout = 1; }},
      {R"(ReadIntervalTimeout="")", [](auto&) {}},  // empty is missing: 4
      {R"(ReadIntervalTimeout="0")", [](auto& p) { p.ReadIntervalTimeout = 0; }},
      {R"(PortNumber="70000")", [](auto& p) { p.PortNumber = 70000; }},
      {R"(PortNumber="4294967295")", [](auto& p) { p.PortNumber = -1; }},
      {R"(PortNumber="+4001")", [](auto& p) { p.PortNumber = 4001; }},
      {R"(MqttSecurityKey="4294967295")", [](auto& p) { p.MqttSecurityKey = 4294967295u; }},
      {R"(MqttSecurityKey="4294967296")", [](auto& p) { p.MqttSecurityKey = 0; }},
      {R"(RealPortBaudRate="263")", [](auto& p) { p.RealPortBaudRate = br9600; }},
      {R"(RealPortStopBits="9")", [](auto& p) { p.RealPortStopBits = static_cast<TStopBits>(9); }},
      {R"(isRealPort="TRUE")", [](auto& p) { p.isRealPort = true; }},
      {R"(isRealPort="tRuE")", [](auto& p) { p.isRealPort = true; }},
      {R"(isRealPort="fAlSe")", [](auto&) {}},
      {R"(isRealPort="1")", [](auto& p) { p.isRealPort = true; }},
      {R"(isRealPort="-7")", [](auto& p) { p.isRealPort = true; }},
      {R"(isRealPort="000")", [](auto&) {}},
      {R"(RealPortTunnelMode="True")", [](auto& p) { p.RealPortTunnelMode = true; }},
      {R"(SendPause="0")", [](auto& p) { p.SendPause = 0; }},
      {R"(SendPause="")", [](auto&) {}},  // missing: 10
      {R"(SendPause="65546")", [](auto& p) { p.SendPause = 10; }},
      {R"(Protocol="")", [](auto&) {}},
      // Short names, in any letter case, load as the labels; other texts are kept as they are.
      {R"(Protocol="passthrough")", [](auto& p) { p.Protocol = PROTOCOL_DIRECT; }},
      {R"(Protocol="PassThrough")", [](auto& p) { p.Protocol = PROTOCOL_DIRECT; }},
      {R"(Protocol="ip485")", [](auto& p) { p.Protocol = PROTOCOL_IP485; }},
      {R"(Protocol="iP485")", [](auto& p) { p.Protocol = PROTOCOL_IP485; }},
      {R"(Protocol="mqtt")", [](auto& p) { p.Protocol = PROTOCOL_MQTT; }},
      {R"(Protocol="Mqtt")", [](auto& p) { p.Protocol = PROTOCOL_MQTT; }},
      {R"(Protocol="pass-through")", [](auto& p) { p.Protocol = "pass-through"; }},
      {R"(Protocol=" mqtt")", [](auto& p) { p.Protocol = " mqtt"; }},
      {R"(Protocol="ip4850")", [](auto& p) { p.Protocol = "ip4850"; }},
      {R"(Protocol="сквозной режим")", [](auto& p) { p.Protocol = "сквозной режим"; }},
      {R"(Protocol="passthrough" DirectMode="0")", [](auto& p) { p.Protocol = PROTOCOL_DIRECT; }},
      {R"(Protocol="mqtt" DirectMode="1")", [](auto& p) { p.Protocol = PROTOCOL_DIRECT; }},
      {R"(DirectMode="true")", [](auto& p) { p.Protocol = PROTOCOL_DIRECT; }},
      {R"(DirectMode="false")", [](auto&) {}},
      {R"(DirectMode="TRUE" Protocol="MQTT")", [](auto& p) { p.Protocol = PROTOCOL_DIRECT; }},
      {R"(Protocol="MQTT" DirectMode="2")", [](auto& p) { p.Protocol = PROTOCOL_DIRECT; }},
      {R"(DirectMode="0" Protocol="MQTT")", [](auto& p) { p.Protocol = PROTOCOL_MQTT; }},
      {R"(DirectMode="" Protocol="MQTT")", [](auto& p) { p.Protocol = PROTOCOL_MQTT; }},
      {R"(Comment="a&#13;&#10;b")", [](auto& p) { p.Comment = "a\r\nb"; }},
      // A raw tab or line break in an attribute reads as a blank, as in any XML.
      {"Header=\"a\tb\nc\"", [](auto& p) { p.Header = "a b c"; }},
      {R"(Header="  blanks kept  ")", [](auto& p) { p.Header = "  blanks kept  "; }},
      {R"(MqttTls="TRUE")", [](auto& p) { p.MqttTls = true; }},
      {R"(MqttTls="")", [](auto&) {}},
      {R"(MqttCaFile="/etc/ssl/ca.pem")", [](auto& p) { p.MqttCaFile = "/etc/ssl/ca.pem"; }},
      {R"(MqttVerifyCert="0")", [](auto& p) { p.MqttVerifyCert = false; }},
      {R"(MqttVerifyCert="")", [](auto&) {}},  // empty is missing: checked
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Attributes);
    const bool hasPort = c.Attributes.find("PortNumber=") != std::string::npos;
    WriteFile(Path(), "<Orvane><Port ComName=\"COM1\" IpAddress=\"h\" " +
                          std::string(hasPort ? "" : "PortNumber=\"1\" ") + c.Attributes + "/></Orvane>");
    ASSERT_TRUE(Load());
    TLumPortParams expected = FileDefaults("COM1", "h", 1);
    c.Expect(expected);
    // A label the program does not know is told; the port loads all the same.
    const bool known = expected.Protocol == PROTOCOL_DIRECT || expected.Protocol == PROTOCOL_IP485 ||
                       expected.Protocol == PROTOCOL_MQTT;
    EXPECT_EQ(FMessages.Shown.size(), known ? 0u : 1u);
    ASSERT_EQ(FPorts.size(), 1u);
    ExpectSameParams(FPorts[0], expected);
  }
}

TEST_F(ConfigFileTest, ElementsWithoutNameAddressOrPortAreSkippedQuietly) {
  WriteFile(Path(), R"(<Orvane>
  <Port IpAddress="h" PortNumber="1"/>
  <Port ComName="" IpAddress="h" PortNumber="1" isRealPort="yes"/>
  <Port ComName="A" PortNumber="1"/>
  <Port ComName="B" IpAddress="" PortNumber="1"/>
  <Port ComName="C" IpAddress="h"/>
  <Port ComName="D" IpAddress="h" PortNumber=""/>
  text between elements
  <!-- a comment -->
  <?note a processing instruction?>
  <Device ComName="E" IpAddress="h" PortNumber="5"/>
  <Port ComName="F" IpAddress="h" PortNumber="6"><Port ComName="G" IpAddress="h" PortNumber="7"/></Port>
</Orvane>)");
  EXPECT_TRUE(Load());
  EXPECT_TRUE(FMessages.Shown.empty());
  // The element name is not checked, and children of a Port are not ports.
  EXPECT_EQ(Names(FPorts), (std::vector<std::string>{"E", "F"}));
}

TEST_F(ConfigFileTest, LoadErrorsKeepThePortsBeforeThem) {
  struct TCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Loaded;
    std::string Message;  // after the path
  };
  const std::string a = R"(<Port ComName="A" IpAddress="h" PortNumber="1"/>)";
  const std::string c = R"(<Port ComName="C" IpAddress="h" PortNumber="3"/>)";
  const TCase cases[] = {
      {"boolean yes",
       "<Orvane>\n" + a + "\n<Port ComName=\"B\" IpAddress=\"h\" PortNumber=\"2\" isRealPort=\"yes\"/>\n" +
           c + "\n</Orvane>",
       {"A"},
       "\r\n<Port> at line 3: isRealPort \"yes\" is not true, false or a number"},
      {"DirectMode yes",
       "<Orvane>\n" + a + "\n<Port ComName=\"B\" IpAddress=\"h\" PortNumber=\"2\" DirectMode=\"yes\"/>\n" +
           c + "\n</Orvane>",
       {"A"},
       "\r\n<Port> at line 3: DirectMode \"yes\" is not true, false or a number"},
      {"port letters",
       "<Orvane>\n<Port ComName=\"B\" IpAddress=\"h\" PortNumber=\"12a\"/>\n" + a + "</Orvane>",
       {},
       "\r\n<Port> at line 2: PortNumber \"12a\" is not an integer"},
      {"port blank",
       "<Orvane>\n<Port ComName=\"B\" IpAddress=\"h\" PortNumber=\" 4001\"/>\n" + a + "</Orvane>",
       {},
       "\r\n<Port> at line 2: PortNumber \" 4001\" is not an integer"},
      {"fraction",
       "<Orvane>" + a +
           "\n\n<Item ComName=\"B\" IpAddress=\"h\" PortNumber=\"2\" LineNumber=\"1.5\"/></Orvane>",
       {"A"},
       "\r\n<Item> at line 3: LineNumber \"1.5\" is not an integer"},
      {"beyond 64 bits",
       "<Orvane>" + a +
           "<Port ComName=\"B\" IpAddress=\"h\" PortNumber=\"2\" "
           "MqttSecurityKey=\"99999999999999999999\"/></Orvane>",
       {"A"},
       "\r\n<Port> at line 1: MqttSecurityKey \"99999999999999999999\" is not an integer"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    WriteFile(Path(), k.Text);
    EXPECT_FALSE(Load());
    EXPECT_EQ(Names(FPorts), k.Loaded);
    EXPECT_EQ(OnlyMessage(LOAD_TITLE), LOAD_ERROR + PathText() + k.Message);
  }
}

TEST_F(ConfigFileTest, UnknownRootAndParseErrorsLoadNothing) {
  struct TCase {
    const char* Name;
    std::string Text;
    std::string Message;
  };
  const std::string port = R"(<Port ComName="A" IpAddress="h" PortNumber="1"/>)";
  const TCase cases[] = {
      {"root in other case", "<orvane>" + port + "</orvane>", UNKNOWN_FILE + PathText()},
      {"root one level down", "<Config><Orvane>" + port + "</Orvane></Config>", UNKNOWN_FILE + PathText()},
      // The parser's own words, and where it stopped (columns count characters).
      {"unquoted value", "<Orvane>\r\n  " + port + "\r\n  <Port ComName=\"Б\" PortNumber=2/>\r\n</Orvane>",
       LOAD_ERROR + PathText() + "\r\nError parsing element attribute at line 3, column 32"},
      {"unclosed root", "<Orvane>\n" + port + "\n",
       LOAD_ERROR + PathText() + "\r\nStart-end tags mismatch at line 2, column 49"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    WriteFile(Path(), k.Text);
    EXPECT_FALSE(Load());
    EXPECT_TRUE(FPorts.empty());
    EXPECT_EQ(OnlyMessage(LOAD_TITLE), k.Message);
  }
}

// A check goes past every element a load stops at and names each problem
// with its line; the sound elements in between still reach the taker.
TEST_F(ConfigFileTest, ACheckTellsEveryProblemWithItsLine) {
  std::vector<std::string> taken;
  const TPortTaker take = [&taken](const TLumPortParams& APort) {
    taken.push_back(APort.ComName);
    return APort.ComName == "E" ? std::string("refused") : std::string();
  };
  WriteFile(Path(), R"(<Orvane>
  <Port ComName="A" IpAddress="h" PortNumber="1"/>
  <Port ComName="B" IpAddress="h" PortNumber="x2" isRealPort="yes" Portnumber="2"/>
  <Port ComName="C" IpAddress="h" PortNumber="3" Protocol="IP-485"/>
  <Port IpAddress="h"/>
  <Port ComName="E" IpAddress="h" PortNumber="5" LineNumber="1.5"/>
  <Port ComName="E" IpAddress="h" PortNumber="6"/>
</Orvane>)");
  const TConfigCheck check = CheckConfig(FDir.Str(), take);
  EXPECT_TRUE(check.Found);
  EXPECT_FALSE(check.Clean());
  EXPECT_EQ(check.Problems, (std::vector<std::string>{
                                "<Port> at line 3: unknown attribute Portnumber",
                                "<Port> at line 3: PortNumber \"x2\" is not an integer",
                                "<Port> at line 3: isRealPort \"yes\" is not true, false or a number",
                                "<Port> at line 4: unknown Protocol \"IP-485\"",
                                "<Port> at line 5: no ComName, PortNumber, skipped",
                                "<Port> at line 6: LineNumber \"1.5\" is not an integer",
                                "<Port> at line 7: refused",
                            }));
  // An element with a bad value never reaches the taker; a sound one does.
  EXPECT_EQ(taken, (std::vector<std::string>{"A", "C", "E"}));
  EXPECT_TRUE(FMessages.Shown.empty());

  struct TCase {
    const char* Name;
    std::string Text;  // none: no file
    bool Found;
    std::vector<std::string> Problems;
  };
  const TCase cases[] = {
      {"sound", R"(<Orvane><Port ComName="A" IpAddress="h" PortNumber="1"/></Orvane>)", true, {}},
      {"parse error",
       "<Orvane>\n<Port ComName=\"A\" PortNumber=1/>\n</Orvane>",
       true,
       {"Error parsing element attribute at line 2, column 30"}},
      {"other root", "<Config/>", true, {"no root element <Orvane>: not a port list of this program"}},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    WriteFile(Path(), k.Text);
    const TConfigCheck one = CheckConfig(FDir.Str(), TakeAll([](const TLumPortParams&) {}));
    EXPECT_EQ(one.Found, k.Found);
    EXPECT_EQ(one.Problems, k.Problems);
    EXPECT_EQ(one.Clean(), k.Problems.empty());
  }
  fs::remove(Path());
  const TConfigCheck none = CheckConfig(FDir.Str(), TakeAll([](const TLumPortParams&) {}));
  EXPECT_FALSE(none.Found);
  EXPECT_FALSE(none.Clean());
}

TEST_F(ConfigFileTest, ConsumerFailureEndsTheLoad) {
  WriteFile(Path(), R"(<Orvane>
  <Port ComName="A" IpAddress="h" PortNumber="1"/>
  <Port ComName="B" IpAddress="h" PortNumber="2"/>
  <Port ComName="C" IpAddress="h" PortNumber="3"/>
</Orvane>)");
  std::vector<std::string> offered;
  const bool loaded = LoadConfig(
      FDir.Str(),
      [&](const TLumPortParams& APort) {
        offered.push_back(APort.ComName);
        if (APort.ComName == "B") throw std::runtime_error("the port cannot be built");
      },
      FMessages);
  EXPECT_FALSE(loaded);
  EXPECT_EQ(offered, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(OnlyMessage(LOAD_TITLE), LOAD_ERROR + PathText() + "\r\nthe port cannot be built");
}

TEST_F(ConfigFileTest, BadFilesGiveAMessageAndNoHalfReadPort) {
  const std::string port = R"(<Port ComName="A" IpAddress="h" PortNumber="1"/>)";
  struct TCase {
    const char* Name;
    std::function<void(const fs::path&)> Make;
    bool Result;
    size_t Ports;
    std::string Message;  // after the path; empty: no message
    bool ExactMessage = true;
  };
  const TCase cases[] = {
      {"empty file", [](const fs::path& p) { WriteFile(p, ""); }, false, 0,
       "\r\nNo document element found at line 1, column 1"},
      {"binary file",
       [](const fs::path& p) {
         std::string bytes;
         for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 167 + 13) & 0xFF);
         WriteFile(p, bytes);
       },
       false, 0, "\r\n", false},
      {"byte order mark",
       [&](const fs::path& p) { WriteFile(p, "\xEF\xBB\xBF<Orvane>" + port + "</Orvane>"); }, true, 1, ""},
      {"50 MB",
       [&](const fs::path& p) {
         std::ofstream out(p, std::ios::binary);
         out << "<Orvane>";
         for (size_t n = 0; n < 50u * 1024 * 1024; n += port.size()) out << port;
         out << "</Orvane>";
       },
       false, 0, "\r\nthe file is larger than 16777216 bytes"},
      {"nested 100000 deep",
       [&](const fs::path& p) {
         std::string deep;
         for (int i = 0; i < 100000; ++i) deep += "<a>";
         for (int i = 0; i < 100000; ++i) deep += "</a>";
         WriteFile(p, "<Orvane>" + deep + port + "</Orvane>");
       },
       true, 1, ""},
      {"nested 100000 deep, unclosed",
       [&](const fs::path& p) {
         std::string deep;
         for (int i = 0; i < 100000; ++i)
           deep +=
               "<" + std::string(i == 0 ? "Port ComName=\"A\" IpAddress=\"h\" PortNumber=\"1\"" : "a") + ">";
         WriteFile(p, "<Orvane>" + deep + "</Orvane>");
       },
       false, 0, "\r\nStart-end tags mismatch at line 1, column ", false},
      {"directory",
       [](const fs::path& p) {
         fs::create_directory(p);
         WriteFile(p / "inside", "x");
       },
       false, 0, "\r\nIs a directory"},
      {"pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false, 0,
       "\r\nnot a regular file"},
      {"link to an endless device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, false, 0,
       "\r\nnot a regular file"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    fs::remove_all(Path());
    k.Make(Path());
    EXPECT_EQ(Load(), k.Result);
    EXPECT_EQ(FPorts.size(), k.Ports);
    if (k.Message.empty()) {
      EXPECT_TRUE(FMessages.Shown.empty());
    } else if (k.ExactMessage) {
      EXPECT_EQ(OnlyMessage(LOAD_TITLE), LOAD_ERROR + PathText() + k.Message);
    } else {
      EXPECT_EQ(OnlyMessage(LOAD_TITLE).rfind(LOAD_ERROR + PathText() + k.Message, 0), 0u);
    }
  }
}

// ----------------------------------------------------------------- saving

TEST_F(ConfigFileTest, EmptyListWritesTheRootOnly) {
  ASSERT_TRUE(Save({}));
  EXPECT_TRUE(FMessages.Shown.empty());
  EXPECT_EQ(ReadFile(Path()),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Orvane Description=\"Orvane config file\" />\n");
  EXPECT_TRUE(Load());
  EXPECT_TRUE(FPorts.empty());
}

// What a load left out follows the ports unchanged, also when no port is left.
TEST_F(ConfigFileTest, LeftOutElementsFollowThePortsAsTheyStood) {
  const std::string kept = "<Port ComName=\"K\" IpAddress=\"h\"   PortNumber=\"7\" isRealPort=\"yes\"/>";
  for (const size_t ports : {size_t{0}, size_t{2}}) {
    SCOPED_TRACE(ports);
    std::vector<TLumPortParams> list = SamplePorts();
    list.resize(std::min(list.size(), ports));
    const std::string text = ConfigDocumentText(TPortParamsVectorView(list), {kept, "<!-- a note -->"});
    EXPECT_NE(text.find(kept + "\n  <!-- a note -->\n</Orvane>"), std::string::npos) << text;
    WriteFile(Path(), text);
    std::vector<std::string> leftOut;
    FPorts.clear();
    EXPECT_FALSE(LoadConfigKeeping(
        FDir.Str(),
        [this](const TLumPortParams& APort) {
          FPorts.push_back(APort);
          return std::string();
        },
        FMessages, leftOut));
    EXPECT_EQ(FPorts.size(), list.size());
    EXPECT_EQ(leftOut, std::vector<std::string>{kept + "\n  <!-- a note -->"});
  }
}

TEST_F(ConfigFileTest, SavedPortHasAllAttributesInTableOrder) {
  TLumPortParams p = FileDefaults("COM5", "192.168.0.10", 4001);
  p.Header = "Насос & <щит> \"1\"";
  p.MqttSecurityKey = 3000000000u;
  ASSERT_TRUE(Save({p}));
  EXPECT_EQ(ReadFile(Path()),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<Orvane Description=\"Orvane config file\">\n"
            "  <Port ComName=\"COM5\" IpAddress=\"192.168.0.10\" PortNumber=\"4001\" LineNumber=\"0\" "
            "Protocol=\"IP485(MX40L/R510/R52)\" ReadPacketTimeout=\"0\" ReadIntervalTimeout=\"4\" "
            "Header=\"Насос &amp; &lt;щит> &quot;1&quot;\" Comment=\"\" MqttHost=\"\" MqttTopic=\"\" "
            "MqttUserName=\"\" MqttPassword=\"\" MqttSecurityKey=\"3000000000\" isRealPort=\"false\" "
            "RealPortBaudRate=\"0\" RealPortBitData=\"0\" RealPortParityBits=\"0\" RealPortStopBits=\"0\" "
            "RealPortTunnelMode=\"false\" />\n"
            "</Orvane>\n");
}

// A file from before the send pause existed, with a virtual port whose line settings are
// fixed: nothing is added or changed on the way through; a pause set otherwise is written last.
TEST_F(ConfigFileTest, AnOlderFileSavesByteForByteAndOnlyAnotherPauseIsWritten) {
  const std::string port =
      "  <Port ComName=\"COM9\" IpAddress=\"10.0.0.9\" PortNumber=\"4001\" LineNumber=\"1\" "
      "Protocol=\"IP485(MX40L/R510/R52)\" ReadPacketTimeout=\"0\" ReadIntervalTimeout=\"4\" Header=\"\" "
      "Comment=\"\" MqttHost=\"\" MqttTopic=\"/t\" MqttUserName=\"\" MqttPassword=\"\" "
      "MqttSecurityKey=\"7\" isRealPort=\"false\" RealPortBaudRate=\"9\" RealPortBitData=\"3\" "
      "RealPortParityBits=\"2\" RealPortStopBits=\"0\" RealPortTunnelMode=\"true\"";
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Orvane Description=\"Orvane config file\">\n";
  const std::string older = head + port + " />\n</Orvane>\n";
  WriteFile(Path(), older);
  ASSERT_TRUE(Load());
  ASSERT_EQ(FPorts.size(), 1u);
  EXPECT_FALSE(FPorts[0].isRealPort);
  EXPECT_TRUE(FPorts[0].RealPortTunnelMode);
  EXPECT_EQ(+FPorts[0].RealPortBaudRate, +br19200);
  EXPECT_EQ(FPorts[0].RealPortParityBits, TParityBits::Even);
  EXPECT_EQ(FPorts[0].SendPause, SEND_PAUSE_DEFAULT_MS);
  ASSERT_TRUE(Save(FPorts));
  EXPECT_EQ(ReadFile(Path()), older);

  std::vector<TLumPortParams> ports = FPorts;
  for (const uint16_t pause : {uint16_t{0}, uint16_t{250}}) {
    ports[0].SendPause = pause;
    ASSERT_TRUE(Save(ports));
    EXPECT_EQ(ReadFile(Path()), head + port + " SendPause=\"" + std::to_string(pause) + "\" />\n</Orvane>\n");
    ASSERT_TRUE(Load());
    ASSERT_EQ(FPorts.size(), 1u);
    EXPECT_EQ(FPorts[0].SendPause, pause);
  }
}

// TLS settings are written after the others, and only those away from their defaults.
TEST_F(ConfigFileTest, TlsSettingsAreWrittenOnlyWhenSet) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<Orvane Description=\"Orvane config file\">\n"
      "  <Port ComName=\"COM7\" IpAddress=\"0.0.0.0\" PortNumber=\"0\" LineNumber=\"0\" Protocol=\"MQTT\" "
      "ReadPacketTimeout=\"0\" ReadIntervalTimeout=\"4\" Header=\"\" Comment=\"\" MqttHost=\"broker\" "
      "MqttTopic=\"/t\" MqttUserName=\"\" MqttPassword=\"\" MqttSecurityKey=\"7\" isRealPort=\"false\" "
      "RealPortBaudRate=\"0\" RealPortBitData=\"0\" RealPortParityBits=\"0\" RealPortStopBits=\"0\" "
      "RealPortTunnelMode=\"false\"";
  const std::string tail = " />\n</Orvane>\n";
  struct TCase {
    std::string Attributes;  // as written after RealPortTunnelMode
    std::function<void(TLumPortParams&)> Set;
  };
  const TCase cases[] = {
      {"", [](auto&) {}},
      {" MqttTls=\"true\"", [](auto& p) { p.MqttTls = true; }},
      {" MqttTls=\"true\" MqttCaFile=\"/etc/ca.pem\"",
       [](auto& p) {
         p.MqttTls = true;
         p.MqttCaFile = "/etc/ca.pem";
       }},
      {" MqttTls=\"true\" MqttVerifyCert=\"false\"",
       [](auto& p) {
         p.MqttTls = true;
         p.MqttVerifyCert = false;
       }},
      // Kept while TLS is off, so switching it on again finds them.
      {" MqttCaFile=\"ca.pem\" MqttVerifyCert=\"false\"",
       [](auto& p) {
         p.MqttCaFile = "ca.pem";
         p.MqttVerifyCert = false;
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Attributes);
    TLumPortParams p = FileDefaults("COM7", "0.0.0.0", 0);
    p.Protocol = PROTOCOL_MQTT;
    p.MqttHost = "broker";
    p.MqttTopic = "/t";
    p.MqttSecurityKey = 7;
    c.Set(p);
    ASSERT_TRUE(Save({p}));
    const std::string text = head + c.Attributes + tail;
    EXPECT_EQ(ReadFile(Path()), text);
    // The same text loads back into the record, and saves byte for byte.
    ASSERT_TRUE(Load());
    ASSERT_EQ(FPorts.size(), 1u);
    ExpectSameParams(FPorts[0], p);
    ASSERT_TRUE(Save(FPorts));
    EXPECT_EQ(ReadFile(Path()), text);
  }
  // Spelled-out defaults load as the defaults and are not written back.
  WriteFile(Path(), head + " MqttTls=\"false\" MqttCaFile=\"\" MqttVerifyCert=\"TRUE\"" + tail);
  ASSERT_TRUE(Load());
  ASSERT_TRUE(Save(FPorts));
  EXPECT_EQ(ReadFile(Path()), head + tail);
  // A flag that is no flag stops the load like any other.
  WriteFile(Path(), head + " MqttVerifyCert=\"no\"" + tail);
  EXPECT_FALSE(Load());
  EXPECT_TRUE(FPorts.empty());
  EXPECT_NE(OnlyMessage("Загрузка конфигурации").find("MqttVerifyCert \"no\""), std::string::npos);
}

TEST_F(ConfigFileTest, EveryFieldOfEveryProtocolRoundTrips) {
  const std::vector<TLumPortParams> ports = SamplePorts();
  ASSERT_TRUE(Save(ports));
  EXPECT_TRUE(FMessages.Shown.empty());
  EXPECT_EQ(FilesIn(FDir.Path()), (std::vector<std::string>{"config.cfg"}));  // no temporary left
  ASSERT_TRUE(Load());
  EXPECT_TRUE(FMessages.Shown.empty());
  ASSERT_EQ(FPorts.size(), ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    SCOPED_TRACE(ports[i].ComName);
    ExpectSameParams(FPorts[i], ports[i]);
  }
  // Saving what was loaded writes the same document.
  const std::string first = ReadFile(Path());
  ASSERT_TRUE(Save(FPorts));
  EXPECT_EQ(ReadFile(Path()), first);
}

TEST_F(ConfigFileTest, ShortProtocolNamesAreSavedAsTheLabels) {
  // The same three ports written by hand with short names and by the program with labels.
  const auto file = [](const char* ADirect, const char* AIp485, const char* AMqtt) {
    return std::string("<Orvane>") + "<Port ComName=\"A\" IpAddress=\"h\" PortNumber=\"1\" Protocol=\"" +
           ADirect + "\"/><Port ComName=\"B\" IpAddress=\"h\" PortNumber=\"2\" Protocol=\"" + AIp485 +
           "\"/><Port ComName=\"C\" IpAddress=\"h\" PortNumber=\"3\" Protocol=\"" + AMqtt + "\"/></Orvane>";
  };
  WriteFile(Path(), file(PROTOCOL_DIRECT, PROTOCOL_IP485, PROTOCOL_MQTT));
  ASSERT_TRUE(Load());
  ASSERT_TRUE(Save(FPorts));
  const std::string fromLabels = ReadFile(Path());

  WriteFile(Path(), file("PASSTHROUGH", "Ip485", "mqtt"));
  ASSERT_TRUE(Load());
  ASSERT_TRUE(Save(FPorts));
  EXPECT_EQ(ReadFile(Path()), fromLabels);
  EXPECT_NE(fromLabels.find(std::string("Protocol=\"") + PROTOCOL_DIRECT + "\""), std::string::npos);
}

TEST_F(ConfigFileTest, NewFileIsOwnerOnlyAndAnExistingOneKeepsModeAndOwner) {
  ASSERT_TRUE(Save(SamplePorts()));
  EXPECT_EQ(Mode(Path()), 0600u);  // it holds broker passwords

  fs::permissions(Path(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(Path().c_str(), 4321, 4322), 0);
  }
  ASSERT_TRUE(Save({}));
  EXPECT_EQ(Mode(Path()), 0640u);
  if (root) {
    struct stat st {};
    ASSERT_EQ(::stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
}

TEST_F(ConfigFileTest, LinkStaysALinkAndItsFileIsReplaced) {
  const fs::path data = FDir.Path() / "data";
  const fs::path etc = FDir.Path() / "etc";
  fs::create_directories(data);
  fs::create_directories(etc);
  WriteFile(etc / "orvane.cfg", "<Orvane/>");
  fs::permissions(etc / "orvane.cfg",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  // A relative link through a second link.
  fs::create_symlink("orvane.cfg", etc / "current.cfg");
  fs::create_symlink("../etc/current.cfg", data / "config.cfg");

  ASSERT_TRUE(SaveTo(data.string(), SamplePorts()));
  EXPECT_TRUE(fs::is_symlink(data / "config.cfg"));
  EXPECT_EQ(fs::read_symlink(data / "config.cfg"), "../etc/current.cfg");
  EXPECT_EQ(fs::read_symlink(etc / "current.cfg"), "orvane.cfg");
  EXPECT_EQ(Mode(etc / "orvane.cfg"), 0604u);
  EXPECT_EQ(FilesIn(data), (std::vector<std::string>{"config.cfg"}));
  EXPECT_EQ(FilesIn(etc), (std::vector<std::string>{"current.cfg", "orvane.cfg"}));
  ASSERT_TRUE(LoadFrom(data.string()));
  EXPECT_EQ(Names(FPorts), Names(SamplePorts()));

  // A link whose file does not exist yet: the file is made where it points.
  fs::remove(data / "config.cfg");
  fs::create_symlink(etc / "later.cfg", data / "config.cfg");
  ASSERT_TRUE(SaveTo(data.string(), SamplePorts()));
  EXPECT_TRUE(fs::is_symlink(data / "config.cfg"));
  EXPECT_EQ(Mode(etc / "later.cfg"), 0600u);
  ASSERT_TRUE(LoadFrom(data.string()));
  EXPECT_EQ(FPorts.size(), 3u);
}

// ----------------------------------------------------- failures of a save

// Gives write permission back to a folder on the way out, so that it can be removed.
struct TReadOnlyDir {
  explicit TReadOnlyDir(fs::path APath) : Path(std::move(APath)) {
    fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_exec);
  }
  ~TReadOnlyDir() { fs::permissions(Path, fs::perms::owner_all); }
  fs::path Path;
};

TEST_F(ConfigFileTest, ReadOnlyFolderKeepsTheOldFile) {
  WriteFile(Path(), "<Orvane><Port ComName=\"OLD\" IpAddress=\"h\" PortNumber=\"1\"/></Orvane>");
  const std::string old = ReadFile(Path());
  const TReadOnlyDir readOnly(FDir.Path());
  {
    std::ofstream probe(FDir.Path() / "probe");
    if (probe.is_open()) {
      probe.close();
      fs::remove(FDir.Path() / "probe");
      GTEST_SKIP() << "this user writes into read-only folders (root); "
                      "DataFolderIsAFile and WriteFailureKeepsTheOldFile show the same message";
    }
  }
  EXPECT_FALSE(Save(SamplePorts()));
  EXPECT_EQ(OnlyMessage(SAVE_TITLE),
            SAVE_ERROR + PathText() + "\r\ncannot create a file in " + FDir.Str() + ": Permission denied");
  EXPECT_EQ(ReadFile(Path()), old);
}

TEST_F(ConfigFileTest, DataFolderIsAFile) {
  const fs::path notDir = FDir.Path() / "plain";
  WriteFile(notDir, "x");
  EXPECT_FALSE(SaveTo(notDir.string(), SamplePorts()));
  EXPECT_EQ(OnlyMessage(SAVE_TITLE), SAVE_ERROR + (notDir / "config.cfg").string() + "\r\nNot a directory");
  EXPECT_EQ(ReadFile(notDir), "x");
}

// A file size limit makes the write fail part-way, as a full disk does, for
// root as well.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t ABytes) {
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    struct rlimit limit = FOld;
    limit.rlim_cur = ABytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    std::signal(SIGXFSZ, FOldHandler);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

 private:
  struct rlimit FOld {};
  void (*FOldHandler)(int);
};

TEST_F(ConfigFileTest, WriteFailureKeepsTheOldFile) {
  ASSERT_TRUE(Save(SamplePorts()));
  const std::string old = ReadFile(Path());
  std::vector<TLumPortParams> many;
  for (int i = 0; i < 50; ++i) many.push_back(SamplePorts()[0]);
  bool saved = true;
  {
    const TFileSizeLimit limit(512);
    saved = Save(many);
  }
  EXPECT_FALSE(saved);
  const std::string text = OnlyMessage(SAVE_TITLE);
  EXPECT_EQ(text.rfind(SAVE_ERROR + PathText() + "\r\ncannot write ", 0), 0u) << text;
  EXPECT_NE(text.find(": File too large"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(Path()), old);
  EXPECT_EQ(FilesIn(FDir.Path()), (std::vector<std::string>{"config.cfg"}));
}

TEST_F(ConfigFileTest, FileThatCannotBeReplacedStaysAsItWas) {
  struct TCase {
    const char* Name;
    std::function<void(const fs::path&)> Make;
    std::function<void(const fs::path&)> Check;
  };
  const TCase cases[] = {
      {"non-empty directory",
       [](const fs::path& p) {
         fs::create_directory(p);
         WriteFile(p / "inside", "x");
       },
       [](const fs::path& p) { EXPECT_EQ(ReadFile(p / "inside"), "x"); }},
      {"empty directory", [](const fs::path& p) { fs::create_directory(p); },
       [](const fs::path& p) { EXPECT_TRUE(fs::is_directory(p)); }},
      // A rename would put a regular file in place of the pipe (or of /dev/null).
      {"link to a pipe",
       [](const fs::path& p) {
         ASSERT_EQ(::mkfifo((p.string() + ".fifo").c_str(), 0600), 0);
         fs::create_symlink(p.string() + ".fifo", p);
       },
       [](const fs::path& p) { EXPECT_TRUE(fs::is_fifo(p.string() + ".fifo")); }},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    fs::remove_all(FDir.Path());
    fs::create_directory(FDir.Path());
    k.Make(Path());
    const std::vector<std::string> before = FilesIn(FDir.Path());
    EXPECT_FALSE(Save(SamplePorts()));
    EXPECT_EQ(OnlyMessage(SAVE_TITLE), CANNOT_REPLACE + PathText());
    EXPECT_EQ(FilesIn(FDir.Path()), before);
    k.Check(Path());
  }
}

TEST(ConfigFileName, IsTheFullPathInTheDataFolder) {
  EXPECT_EQ(ConfigFileName("/srv/orvane/"), "/srv/orvane/config.cfg");
  EXPECT_EQ(ConfigFileName("/srv/orvane/../x"), "/srv/x/config.cfg");
  EXPECT_EQ(ConfigFileName("rel"), (fs::current_path() / "rel" / "config.cfg").string());
}

}  // namespace
}  // namespace orvane

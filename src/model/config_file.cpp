#include "model/config_file.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <pugixml.hpp>
#include <stdexcept>
#include <system_error>
#include <type_traits>

#include "platform/atomic_file.h"

namespace orvane {

namespace {

constexpr const char* ROOT_NAME = "Orvane";
constexpr const char* PORT_NAME = "Port";
constexpr const char* DESCRIPTION = "Orvane config file";

constexpr const char* LOAD_TITLE = "Загрузка конфигурации";
constexpr const char* SAVE_TITLE = "Сохранение конфигурации";
constexpr const char* UNKNOWN_FILE = "Неизвестный файл конфигурации\r\n";
constexpr const char* LOAD_ERROR = "Ошибка при загрузке файла конфигурации\r\n";
constexpr const char* CANNOT_REPLACE = "Невозможно удалить файл конфигурации\r\n";
constexpr const char* SAVE_ERROR = "Ошибка при сохранении файла конфигурации\r\n";
constexpr const char* LOAD_NOTES = "Замечания к файлу конфигурации\r\n";

// Every attribute the loader knows; any other is told to the user.
constexpr const char* KNOWN_ATTRIBUTES[] = {
    "ComName",         "IpAddress",          "PortNumber",          "LineNumber",
    "Protocol",        "ReadPacketTimeout",  "ReadIntervalTimeout", "Header",
    "Comment",         "MqttHost",           "MqttTopic",           "MqttUserName",
    "MqttPassword",    "MqttSecurityKey",    "isRealPort",          "RealPortBaudRate",
    "RealPortBitData", "RealPortParityBits", "RealPortStopBits",    "RealPortTunnelMode",
    "MqttTls",         "MqttCaFile",         "MqttVerifyCert",      "DirectMode",
    "SendPause"};

// Stands where the left-out elements go while the document is written.
constexpr const char* LEFT_OUT_MARK = "orvane-left-out-elements";

// A value of an element that cannot be converted; ends the load.
class EConfigValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Line and column (1-based, in characters) of a byte offset, for messages.
std::string Position(std::string_view AText, ptrdiff_t AOffset, bool AWithColumn) {
  size_t end = AOffset < 0 ? 0 : std::min(AText.size(), static_cast<size_t>(AOffset));
  size_t line = 1;
  size_t column = 1;
  size_t i = AText.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;  // a byte order mark takes no column
  for (; i < end; ++i) {
    const auto c = static_cast<unsigned char>(AText[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {  // not a UTF-8 continuation byte
      ++column;
    }
  }
  std::string result = "line " + std::to_string(line);
  if (AWithColumn) result += ", column " + std::to_string(column);
  return result;
}

// "<Name> at line N", how messages name an element.
std::string ElementName(pugi::xml_node ANode, std::string_view AText) {
  return "<" + std::string(ANode.name()) + "> at " + Position(AText, ANode.offset_debug(), false);
}

// A decimal integer with an optional sign; false when the text is anything else
// or does not fit in 64 bits.
bool ParseInteger(std::string_view AText, int64_t& AValue) {
  if (!AText.empty() && AText[0] == '+') {
    AText.remove_prefix(1);
    if (AText.empty() || AText[0] == '-') return false;
  }
  const char* end = AText.data() + AText.size();
  const auto [ptr, ec] = std::from_chars(AText.data(), end, AValue);
  return ec == std::errc() && ptr == end;
}

bool EqualsNoCase(std::string_view AText, std::string_view AWord) {
  if (AText.size() != AWord.size()) return false;
  for (size_t i = 0; i < AText.size(); ++i) {
    char c = AText[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != AWord[i]) return false;
  }
  return true;
}

// "true" or "false" in any letter case, or a number of any size (0 is false).
std::optional<bool> ParseBoolean(std::string_view AText) {
  if (EqualsNoCase(AText, "true")) return true;
  if (EqualsNoCase(AText, "false")) return false;
  std::string_view digits = AText;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  bool nonZero = false;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    if (c != '0') nonZero = true;
  }
  return nonZero;
}

// Short names a hand-written file may use instead of the window's labels; the
// record (and so the saved file) always carries the label.
std::string ProtocolLabel(const std::string& AText) {
  if (EqualsNoCase(AText, "passthrough")) return PROTOCOL_DIRECT;
  if (EqualsNoCase(AText, "ip485")) return PROTOCOL_IP485;
  if (EqualsNoCase(AText, "mqtt")) return PROTOCOL_MQTT;
  return AText;
}

// Reads the attributes of one element; an error names the element by its line.
// Without AFaults the first value that cannot be converted ends the load
// (EConfigValue); with it every such value is noted there and read as missing.
class TPortReader {
 public:
  TPortReader(pugi::xml_node ANode, std::string_view AText, std::vector<std::string>* AFaults)
      : FNode(ANode), FText(AText), FFaults(AFaults) {}

  // The text of an attribute; empty when it is missing.
  std::string_view Text(const char* AName) const { return FNode.attribute(AName).value(); }

  // The value of a present, non-empty numeric attribute, or nothing.
  std::optional<int64_t> Integer(const char* AName) const {
    const std::string_view text = Text(AName);
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    if (!ParseInteger(text, value)) return Fail(AName, text, "is not an integer");
    return value;
  }

  std::optional<bool> Boolean(const char* AName) const {
    const std::string_view text = Text(AName);
    if (text.empty()) return std::nullopt;
    const std::optional<bool> value = ParseBoolean(text);
    if (!value) return Fail(AName, text, "is not true, false or a number");
    return value;
  }

  void Assign(const char* AName, std::string& AField) const {
    const std::string_view text = Text(AName);
    if (!text.empty()) AField = text;
  }

  // Numbers wider than their field keep their low bits.
  template <typename TField>
  void AssignLowBits(const char* AName, TField& AField) const {
    if (const auto value = Integer(AName)) {
      using TUnder = typename std::conditional_t<std::is_enum_v<TField>, std::underlying_type<TField>,
                                                 std::type_identity<TField>>::type;
      AField = static_cast<TField>(static_cast<TUnder>(static_cast<uint64_t>(*value)));
    }
  }

  void Assign(const char* AName, bool& AField) const {
    if (const auto value = Boolean(AName)) AField = *value;
  }

 private:
  // Nothing: the value counts as missing once it is noted.
  std::nullopt_t Fail(const char* AName, std::string_view AValue, const char* AWhat) const {
    std::string fault =
        ElementName(FNode, FText) + ": " + AName + " \"" + std::string(AValue) + "\" " + AWhat;
    if (FFaults == nullptr) throw EConfigValue(fault);
    FFaults->push_back(std::move(fault));
    return std::nullopt;
  }

  pugi::xml_node FNode;
  std::string_view FText;
  std::vector<std::string>* FFaults;
};

// The record of one child of the root, or nothing when it lacks a name, an
// address or a port number. With AFaults (see TPortReader) a skipped element
// is noted there too, and one with a bad value gives no record.
std::optional<TLumPortParams> ReadPort(pugi::xml_node ANode, std::string_view AText,
                                       std::vector<std::string>* AFaults) {
  const TPortReader reader(ANode, AText, AFaults);
  std::string missing;
  for (const char* name : {"ComName", "IpAddress", "PortNumber"})
    if (reader.Text(name).empty()) missing += (missing.empty() ? "" : ", ") + std::string(name);
  if (!missing.empty()) {
    if (AFaults != nullptr) AFaults->push_back(ElementName(ANode, AText) + ": no " + missing + ", skipped");
    return std::nullopt;
  }
  const size_t faultsBefore = AFaults == nullptr ? 0 : AFaults->size();
  // Each element starts from the file's defaults, which differ from Init's.
  TLumPortParams p;
  p.Protocol = PROTOCOL_IP485;
  p.ReadIntervalTimeout = 4;

  reader.Assign("ComName", p.ComName);
  reader.Assign("IpAddress", p.IpAddress);
  reader.AssignLowBits("PortNumber", p.PortNumber);
  reader.AssignLowBits("LineNumber", p.LineNumber);
  reader.Assign("Protocol", p.Protocol);
  p.Protocol = ProtocolLabel(p.Protocol);
  reader.AssignLowBits("ReadPacketTimeout", p.ReadPacketTimeout);
  reader.AssignLowBits("ReadIntervalTimeout", p.ReadIntervalTimeout);
  reader.Assign("Header", p.Header);
  reader.Assign("Comment", p.Comment);
  reader.Assign("MqttHost", p.MqttHost);
  reader.Assign("MqttTopic", p.MqttTopic);
  reader.Assign("MqttUserName", p.MqttUserName);
  reader.Assign("MqttPassword", p.MqttPassword);
  reader.AssignLowBits("MqttSecurityKey", p.MqttSecurityKey);
  reader.Assign("isRealPort", p.isRealPort);
  reader.AssignLowBits("RealPortBaudRate", p.RealPortBaudRate);
  reader.AssignLowBits("RealPortBitData", p.RealPortBitData);
  reader.AssignLowBits("RealPortParityBits", p.RealPortParityBits);
  reader.AssignLowBits("RealPortStopBits", p.RealPortStopBits);
  reader.Assign("RealPortTunnelMode", p.RealPortTunnelMode);
  reader.AssignLowBits("SendPause", p.SendPause);
  reader.Assign("MqttTls", p.MqttTls);
  reader.Assign("MqttCaFile", p.MqttCaFile);
  reader.Assign("MqttVerifyCert", p.MqttVerifyCert);
  // An older layout marked pass-through ports this way; it wins over Protocol.
  if (reader.Boolean("DirectMode").value_or(false)) p.Protocol = PROTOCOL_DIRECT;
  if (AFaults != nullptr && AFaults->size() > faultsBefore) return std::nullopt;
  return p;
}

// What the loader does not know in one element: attributes and Protocol labels.
void NoteUnknown(pugi::xml_node ANode, std::string_view AText, std::vector<std::string>& ANotes) {
  for (const pugi::xml_attribute attribute : ANode.attributes()) {
    const std::string_view name = attribute.name();
    if (std::find(std::begin(KNOWN_ATTRIBUTES), std::end(KNOWN_ATTRIBUTES), name) ==
        std::end(KNOWN_ATTRIBUTES))
      ANotes.push_back(ElementName(ANode, AText) + ": unknown attribute " + std::string(name));
  }
  const std::string protocol = ProtocolLabel(ANode.attribute("Protocol").value());
  if (!protocol.empty() && protocol != PROTOCOL_DIRECT && protocol != PROTOCOL_IP485 &&
      protocol != PROTOCOL_MQTT)
    ANotes.push_back(ElementName(ANode, AText) + ": unknown Protocol \"" + protocol + "\"");
}

// Where a child of the root starts in the text: its '<'.
size_t NodeStart(pugi::xml_node ANode, std::string_view AText) {
  const auto offset = static_cast<size_t>(std::max<ptrdiff_t>(ANode.offset_debug(), 0));
  const size_t open = AText.rfind('<', std::min(offset, AText.size()));
  return open == std::string_view::npos ? offset : open;
}

// Where the text of the root's content ends: its end tag.
size_t RootContentEnd(pugi::xml_node ARoot, std::string_view AText) {
  const size_t end = AText.rfind("</" + std::string(ARoot.name()));
  return end == std::string_view::npos ? AText.size() : end;
}

// The text of a child of the root as it stands in the file, up to the next
// child or the root's end; with AToRootEnd, everything up to the root's end.
std::string ElementText(pugi::xml_node ANode, std::string_view AText, bool AToRootEnd) {
  const size_t start = NodeStart(ANode, AText);
  size_t end = RootContentEnd(ANode.parent(), AText);
  if (!AToRootEnd) {
    if (const pugi::xml_node next = ANode.next_sibling()) end = NodeStart(next, AText);
    // Whatever opens the next node holds no '>': the element ends at the last one.
    const size_t close = AText.substr(0, end).rfind('>');
    if (close != std::string_view::npos && close >= start) end = close + 1;
  }
  if (end < start) return {};
  std::string_view text = AText.substr(start, end - start);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return std::string(text);
}

class TStringWriter : public pugi::xml_writer {
 public:
  void write(const void* AData, size_t ASize) override {
    Text.append(static_cast<const char*>(AData), ASize);
  }
  std::string Text;
};

// A document and its root Orvane: no root and no error when the root is another.
struct TParsed {
  pugi::xml_node Root;
  std::string Error;  // the parse error and where it is
};

TParsed Parse(pugi::xml_document& ADoc, std::string_view AText) {
  const pugi::xml_parse_result parsed =
      ADoc.load_buffer(AText.data(), AText.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) return {{}, std::string(parsed.description()) + " at " + Position(AText, parsed.offset, true)};
  return {ADoc.child(ROOT_NAME), {}};
}

// Hands each element of ARoot that makes a port record to ATaker, in file
// order (comments and text between them are skipped, element names are not
// checked). Unknown attributes and labels and the taker's refusals go to
// ANotes, every element that does not become a port to ALeftOut as it stands.
// Without AFaults a bad value ends the walk: its error passes on, and the
// rest of the file is left out in one piece (a save writes it back as it
// stands). With AFaults it is noted there, and the walk goes on.
void WalkPorts(pugi::xml_node ARoot, std::string_view AText, const TPortTaker& ATaker,
               std::vector<std::string>& ANotes, std::vector<std::string>& ALeftOut,
               std::vector<std::string>* AFaults) {
  for (const pugi::xml_node node : ARoot.children()) {
    if (node.type() != pugi::node_element) continue;
    NoteUnknown(node, AText, ANotes);
    std::optional<TLumPortParams> port;
    try {
      port = ReadPort(node, AText, AFaults);
      if (port) {
        const std::string refusal = ATaker(*port);
        if (!refusal.empty()) {
          ANotes.push_back(ElementName(node, AText) + ": " + refusal);
          port.reset();
        }
      }
    } catch (const std::exception&) {
      ALeftOut.push_back(ElementText(node, AText, true));
      throw;
    }
    // An element that did not become a port stays in the file for the user to mend.
    if (!port) ALeftOut.push_back(ElementText(node, AText, false));
  }
}

void ShowLoadError(IUserMessages& AMessages, const std::string& AFileName, const std::string& AWhat) {
  AMessages.Show(LOAD_TITLE, LOAD_ERROR + AFileName + "\r\n" + AWhat, TMessageKind::Warning);
}

}  // namespace

std::string ConfigFileName(const std::string& ADataDir) {
  const std::filesystem::path file = std::filesystem::path(ADataDir) / CONFIG_FILE_NAME;
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(file, ec);
  return (ec ? file : full).lexically_normal().string();
}

bool LoadConfig(const std::string& ADataDir, const TPortConsumer& AConsumer, IUserMessages& AMessages) {
  std::vector<std::string> leftOut;
  return LoadConfigKeeping(ADataDir, TakeAll(AConsumer), AMessages, leftOut);
}

bool LoadConfigText(std::string_view AText, const std::string& AFileName, const TPortConsumer& AConsumer,
                    IUserMessages& AMessages) {
  std::vector<std::string> leftOut;
  return LoadConfigTextKeeping(AText, AFileName, TakeAll(AConsumer), AMessages, leftOut);
}

TPortTaker TakeAll(const TPortConsumer& AConsumer) {
  return [AConsumer](const TLumPortParams& APortParams) {
    AConsumer(APortParams);
    return std::string();
  };
}

bool LoadConfigKeeping(const std::string& ADataDir, const TPortTaker& ATaker, IUserMessages& AMessages,
                       std::vector<std::string>& ALeftOut) {
  const std::string fileName = ConfigFileName(ADataDir);
  TFileReadResult file = ReadWholeFile(fileName, CONFIG_MAX_FILE_SIZE);
  if (file.Status == TFileReadStatus::NotFound) return false;
  if (file.Status != TFileReadStatus::Ok) {
    ShowLoadError(AMessages, fileName, file.Error);
    return false;
  }
  return LoadConfigTextKeeping(file.Data, fileName, ATaker, AMessages, ALeftOut);
}

bool LoadConfigTextKeeping(std::string_view AText, const std::string& AFileName, const TPortTaker& ATaker,
                           IUserMessages& AMessages, std::vector<std::string>& ALeftOut) {
  ALeftOut.clear();
  std::vector<std::string> notes;
  bool loaded = false;
  try {
    pugi::xml_document doc;
    const TParsed parsed = Parse(doc, AText);
    if (!parsed.Error.empty()) {
      ShowLoadError(AMessages, AFileName, parsed.Error);
      return false;
    }
    if (!parsed.Root) {
      AMessages.Show(LOAD_TITLE, UNKNOWN_FILE + AFileName, TMessageKind::Warning);
      return false;
    }
    WalkPorts(parsed.Root, AText, ATaker, notes, ALeftOut, nullptr);
    loaded = true;
  } catch (const std::exception& e) {
    ShowLoadError(AMessages, AFileName, e.what());
  }
  if (!notes.empty()) {
    std::string text = LOAD_NOTES + AFileName;
    for (const std::string& note : notes) text += "\r\n" + note;
    AMessages.Show(LOAD_TITLE, text, TMessageKind::Warning);
  }
  return loaded;
}

TConfigCheck CheckConfigText(std::string_view AText, const TPortTaker& ATaker) {
  TConfigCheck check;
  check.Found = true;
  pugi::xml_document doc;
  const TParsed parsed = Parse(doc, AText);
  if (!parsed.Error.empty()) {
    check.Problems.push_back(parsed.Error);
  } else if (!parsed.Root) {
    check.Problems.push_back(std::string("no root element <") + ROOT_NAME +
                             ">: not a port list of this program");
  } else {
    std::vector<std::string> leftOut;
    WalkPorts(parsed.Root, AText, ATaker, check.Problems, leftOut, &check.Problems);
  }
  return check;
}

TConfigCheck CheckConfig(const std::string& ADataDir, const TPortTaker& ATaker) {
  const TFileReadResult file = ReadWholeFile(ConfigFileName(ADataDir), CONFIG_MAX_FILE_SIZE);
  if (file.Status == TFileReadStatus::NotFound) return {};
  if (file.Status != TFileReadStatus::Ok) {
    TConfigCheck check;
    check.Found = true;
    check.Problems.push_back(file.Error);
    return check;
  }
  return CheckConfigText(file.Data, ATaker);
}

std::string ConfigDocumentText(const IPortParamsView& APorts, const std::vector<std::string>& ALeftOut) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  pugi::xml_node root = doc.append_child(ROOT_NAME);
  root.append_attribute("Description") = DESCRIPTION;
  for (size_t i = 0; i < APorts.Count(); ++i) {
    const TLumPortParams p = APorts.Params(i);
    pugi::xml_node node = root.append_child(PORT_NAME);
    auto text = [&](const char* AName, const std::string& AValue) {
      node.append_attribute(AName) = AValue.c_str();
    };
    auto number = [&](const char* AName, long long AValue) { node.append_attribute(AName) = AValue; };
    auto boolean = [&](const char* AName, bool AValue) {
      node.append_attribute(AName) = AValue ? "true" : "false";
    };
    text("ComName", p.ComName);
    text("IpAddress", p.IpAddress);
    number("PortNumber", p.PortNumber);
    number("LineNumber", p.LineNumber);
    text("Protocol", p.Protocol);
    number("ReadPacketTimeout", p.ReadPacketTimeout);
    number("ReadIntervalTimeout", p.ReadIntervalTimeout);
    text("Header", p.Header);
    text("Comment", p.Comment);
    text("MqttHost", p.MqttHost);
    text("MqttTopic", p.MqttTopic);
    text("MqttUserName", p.MqttUserName);
    text("MqttPassword", p.MqttPassword);
    number("MqttSecurityKey", p.MqttSecurityKey);
    boolean("isRealPort", p.isRealPort);
    number("RealPortBaudRate", p.RealPortBaudRate);
    number("RealPortBitData", p.RealPortBitData);
    number("RealPortParityBits", static_cast<uint8_t>(p.RealPortParityBits));
    number("RealPortStopBits", static_cast<uint8_t>(p.RealPortStopBits));
    boolean("RealPortTunnelMode", p.RealPortTunnelMode);
    // Only when set otherwise, so a file of ports that keep the default stays as it was.
    if (p.SendPause != SEND_PAUSE_DEFAULT_MS) number("SendPause", p.SendPause);
    // Written only away from their defaults, so a file without TLS saves as older versions wrote it.
    if (p.MqttTls) boolean("MqttTls", true);
    if (!p.MqttCaFile.empty()) text("MqttCaFile", p.MqttCaFile);
    if (!p.MqttVerifyCert) boolean("MqttVerifyCert", false);
  }
  if (!ALeftOut.empty()) root.append_child(pugi::node_comment).set_value(LEFT_OUT_MARK);
  TStringWriter writer;
  doc.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
  if (ALeftOut.empty()) return writer.Text;
  // The elements the load left out follow the ports, as they stood.
  std::string leftOut;
  for (const std::string& element : ALeftOut) leftOut += (leftOut.empty() ? "" : "\n  ") + element;
  const std::string mark = std::string("<!--") + LEFT_OUT_MARK + "-->";
  const size_t at = writer.Text.find(mark);
  writer.Text.replace(at, mark.size(), leftOut);
  return writer.Text;
}

bool SaveConfig(const std::string& ADataDir, const IPortParamsView& APorts, IUserMessages& AMessages,
                const std::vector<std::string>& ALeftOut) {
  const std::string fileName = ConfigFileName(ADataDir);
  TFileReplaceResult written;
  try {
    written = ReplaceFileContents(fileName, ConfigDocumentText(APorts, ALeftOut));
  } catch (const std::exception& e) {
    written.FailedStep = TFileReplaceStep::Write;
    written.Error = e.what();
  }
  if (written.Ok()) return true;
  // The old file stays whole either way: the first message now means it
  // could not be replaced, the second that the new one could not be written.
  if (written.FailedStep == TFileReplaceStep::Replace) {
    AMessages.Show(SAVE_TITLE, CANNOT_REPLACE + fileName, TMessageKind::Warning);
  } else {
    AMessages.Show(SAVE_TITLE, SAVE_ERROR + fileName + "\r\n" + written.Error, TMessageKind::Warning);
  }
  return false;
}

}  // namespace orvane

#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model/lum_port_params.h"

namespace orvane {

// The port list on disk: config.cfg in the data directory, one Port element
// per port under the root Orvane. Loading and saving run on the main thread.

inline constexpr const char* CONFIG_FILE_NAME = "config.cfg";
// A port list takes a few kilobytes; the bound keeps a stray huge file from
// being read whole into memory.
inline constexpr size_t CONFIG_MAX_FILE_SIZE = 16 * 1024 * 1024;

enum class TMessageKind { Plain, Information, Warning };

// Messages for the user: message boxes in the window, standard error in the
// headless mode.
class IUserMessages {
 public:
  virtual ~IUserMessages() = default;
  virtual void Show(const std::string& ATitle, const std::string& AText, TMessageKind AKind) = 0;
};

// The port list as the configuration writer walks it, index 0 upwards.
class IPortParamsView {
 public:
  virtual ~IPortParamsView() = default;
  virtual size_t Count() const = 0;
  virtual TLumPortParams Params(size_t AIndex) const = 0;
};

// A plain vector of records seen as a port list; the vector must outlive it.
class TPortParamsVectorView final : public IPortParamsView {
 public:
  explicit TPortParamsVectorView(const std::vector<TLumPortParams>& APorts) : FPorts(APorts) {}
  size_t Count() const override { return FPorts.size(); }
  TLumPortParams Params(size_t AIndex) const override { return FPorts.at(AIndex); }

 private:
  const std::vector<TLumPortParams>& FPorts;
};

// Receives every accepted port record of the file, in document order. An
// exception it throws ends the load with a message; the records it already
// took stay taken.
using TPortConsumer = std::function<void(const TLumPortParams& APortParams)>;

// Takes one record; returns why it refuses it (empty: taken). A refused
// element is left out like a skipped one and named in the load's notes.
using TPortTaker = std::function<std::string(const TLumPortParams& APortParams)>;

// A taker that hands every record to AConsumer.
TPortTaker TakeAll(const TPortConsumer& AConsumer);

// The full path of config.cfg in ADataDir, as the messages show it.
std::string ConfigFileName(const std::string& ADataDir);

// Reads config.cfg of ADataDir and hands each accepted record to AConsumer.
// True when the file existed, had the root Orvane and was read to its end.
// A missing file is false without any message; every other failure shows one
// warning through AMessages.
bool LoadConfig(const std::string& ADataDir, const TPortConsumer& AConsumer, IUserMessages& AMessages);

// LoadConfig on a document already in memory; AFileName only names it in
// the messages.
bool LoadConfigText(std::string_view AText, const std::string& AFileName, const TPortConsumer& AConsumer,
                    IUserMessages& AMessages);

// LoadConfig that also gives, in ALeftOut, the text of every child of the
// root that did not become a port, as it stands in the file: skipped and
// refused elements one by one, and after a load error everything from the
// failing element to the root's end in one piece. A save writes them back
// after the ports, so a bad element is never lost. Unknown attributes,
// unknown Protocol labels and refusals are told in one warning per file.
bool LoadConfigKeeping(const std::string& ADataDir, const TPortTaker& ATaker, IUserMessages& AMessages,
                       std::vector<std::string>& ALeftOut);
bool LoadConfigTextKeeping(std::string_view AText, const std::string& AFileName, const TPortTaker& ATaker,
                           IUserMessages& AMessages, std::vector<std::string>& ALeftOut);

// What a check of config.cfg found.
struct TConfigCheck {
  bool Found = false;  // the file exists
  // Every problem, one line each, in file order: a file that cannot be read or
  // parsed (with the place of the error), a root that is not Orvane, and per
  // element: unknown attributes and Protocol labels, a missing ComName,
  // IpAddress or PortNumber, each value that cannot be converted, a refusal
  // of the taker. The lines of elements read as the loader names them
  // ("<Port> at line N: ...").
  std::vector<std::string> Problems;
  // The file loads whole: it exists and nothing is amiss.
  bool Clean() const { return Found && Problems.empty(); }
};

// Checks config.cfg of ADataDir with the loader's own rules, but goes past
// every bad element where a load stops, so that one run tells every problem.
// Each record that would become a port goes to ATaker; nothing is shown.
TConfigCheck CheckConfig(const std::string& ADataDir, const TPortTaker& ATaker);
TConfigCheck CheckConfigText(std::string_view AText, const TPortTaker& ATaker);

// Writes every port of APorts to config.cfg of ADataDir, replacing the old
// file only once the new one is complete on disk. True when written; on
// failure the old file is unchanged and one warning goes to AMessages.
// ALeftOut (what a load left out) follows the ports unchanged.
bool SaveConfig(const std::string& ADataDir, const IPortParamsView& APorts, IUserMessages& AMessages,
                const std::vector<std::string>& ALeftOut = {});

// The document SaveConfig writes (UTF-8, with an XML declaration).
std::string ConfigDocumentText(const IPortParamsView& APorts, const std::vector<std::string>& ALeftOut = {});

}  // namespace orvane

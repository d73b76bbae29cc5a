#include "log/port_log_lines.h"

#include <algorithm>
#include <ctime>

#include "platform/printable_text.h"

namespace orvane {

namespace {

const char* TrueFalse(bool AValue) {
  return AValue ? "True" : "False";
}

// More than this is never read for one received-characters event.
constexpr int32_t MAX_READ = 65536;

}  // namespace

TPortLogLines::TPortLogLines(TPortManager& APort, TLogLinesOutput AOutput)
    : FVirtualPort(APort.GetVirtPort()),
      FRealPort(APort.GetRealPort()),
      FDispatcher(FRealPort ? FRealPort->Dispatcher() : FVirtualPort->Dispatcher()),
      FOutput(std::move(AOutput)),
      // Texts of the configuration go into every line: escaped, so none can forge a line.
      FComName(PrintableText(APort.PortParams().ComName)),
      FChannelPrefix(PrintableText(APort.PortParams().IpAddress) + ":" +
                     std::to_string(APort.PortParams().PortNumber) + " ") {
  APort.TcpServer()->SetOnWriteLog(
      [this](const std::string& AMessage, bool ADebug) { AddChannelLine(AMessage, ADebug); });
  const TWriteLogEvent toLines = [this](const std::string& AMessage, bool ADebug) {
    AddLogLine(AMessage, ADebug);
  };
  if (FRealPort) {
    FRealPort->SetOnWriteLogEvent(toLines);
  } else {
    FVirtualPort->SetOnWriteLogEvent(toLines);
    ConnectDriverEvents(*FVirtualPort);
  }
}

std::string TPortLogLines::ShownLine(const std::string& ATimeOfDay, const std::string& ALine) {
  return "[" + ATimeOfDay + "] " + ALine;
}

std::string TPortLogLines::ShownLine(const std::string& ALine) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return ShownLine(text, ALine);
}

void TPortLogLines::AddLogLine(const std::string& AMessage, bool ADebug) {
  if (Ending()) return;
  const std::string line = "(" + FComName + ") " + AMessage;
  if (FOutput.WriteFile) FOutput.WriteFile(line);
  if (FStopLog || ADebug) return;
  QueueShownLine(line);
}

TPortLogLines::~TPortLogLines() {
  const std::lock_guard<std::mutex> guard(FPending->Lock);
  FPending->Alive = false;
  FPending->Lines.clear();
}

void TPortLogLines::QueueShownLine(std::string ALine) {
  bool post = false;
  bool full = false;
  {
    const std::lock_guard<std::mutex> guard(FPending->Lock);
    FPending->Lines.push_back(std::move(ALine));
    full = FPending->Lines.size() >= MAX_PENDING_LINES;
    if (!FPending->DrainPosted) post = FPending->DrainPosted = true;
  }
  // On the main thread the queue is emptied at once, behind the lines before it.
  if (FDispatcher.IsMainThread()) {
    DrainPending();
    return;
  }
  if (post) {
    FDispatcher.Post([this, pending = FPending] {
      if (pending->Alive) DrainPending();
    });
  }
  // A slow main thread holds the writer back instead of growing the queue.
  if (full) FDispatcher.Send([this] { DrainPending(); });
}

void TPortLogLines::DrainPending() {
  if (FPending->Draining) return;
  FPending->Draining = true;
  // A view that throws must not leave the queue stuck behind this flag.
  struct TDrainEnd {
    TPending& Pending;
    ~TDrainEnd() { Pending.Draining = false; }
  } drainEnd{*FPending};
  for (;;) {
    std::deque<std::string> lines;
    {
      const std::lock_guard<std::mutex> guard(FPending->Lock);
      if (FPending->Lines.empty()) {
        FPending->DrainPosted = false;
        return;
      }
      lines.swap(FPending->Lines);
    }
    for (const std::string& line : lines) ShowLogLine(line);
  }
}

void TPortLogLines::AddChannelLine(const std::string& AMessage, bool ADebug) {
  if (Ending()) return;
  AddLogLine(FChannelPrefix + AMessage, ADebug);
}

void TPortLogLines::ShowLogLine(const std::string& ALine) {
  if (Ending()) return;
  if (FOutput.ShowLine) FOutput.ShowLine(ALine);
}

void TPortLogLines::ConnectDriverEvents(TLumVirtualPort& APort) {
  // In every handler the line comes first, then what it does.
  APort.OnRxChar = [this](TVSPortAx& ASender, int32_t ACount) {
    auto& port = static_cast<TLumVirtualPort&>(ASender);
    std::string data(static_cast<size_t>(std::clamp(ACount, 0, MAX_READ)), '\0');
    int32_t count = static_cast<int32_t>(data.size());
    port.Read(data.data(), count);
    data.resize(static_cast<size_t>(std::max(count, 0)));
    AddLogLine("EVENT: RxChar, Received = " + std::to_string(data.size()), true);
    if (data.empty()) return;
    AddLogLine("IN: [" + std::to_string(data.size()) + "] " + BytesToHex(data), false);
    port.OnRxData(data);
  };
  APort.OnDTR = [this](TVSPortAx&, bool ADtr) {
    AddLogLine(std::string("EVENT: DTR = ") + TrueFalse(ADtr), true);
  };
  APort.OnRTS = [this](TVSPortAx&, bool ARts) {
    AddLogLine(std::string("EVENT: RTS = ") + TrueFalse(ARts), true);
  };
  APort.OnRING = [this](TVSPortAx&) { AddLogLine("EVENT: RING", true); };
  APort.OnOpenClose = [this](TVSPortAx&, bool AOpened) {
    AddLogLine(AOpened ? "Open COM port" : "Close COM port", false);
  };
  APort.OnTimeouts = [this](TVSPortAx&, int32_t AReadInterval, int32_t AReadMultiplier, int32_t AReadConstant,
                            int32_t AWriteMultiplier, int32_t AWriteConstant) {
    AddLogLine("EVENT: ReadIntervalTimeout = " + std::to_string(AReadInterval) +
                   ", ReadTotalTimeoutMultiplier = " + std::to_string(AReadMultiplier) +
                   ", ReadTotalTimeoutConstant = " + std::to_string(AReadConstant) +
                   ", WriteTotalTimeoutMultiplier = " + std::to_string(AWriteMultiplier) +
                   ", WriteTotalTimeoutConstant = " + std::to_string(AWriteConstant),
               true);
  };
  APort.OnLineControl = [this](TVSPortAx& ASender, int32_t AStopBits, int32_t AParity, int32_t AWordLength) {
    AddLogLine("EVENT: StopBits = " + std::to_string(AStopBits) + ", Parity = " + std::to_string(AParity) +
                   ", WordLength = " + std::to_string(AWordLength),
               true);
    static_cast<TLumVirtualPort&>(ASender).ApplicationLineControl(AStopBits, AParity, AWordLength);
  };
  APort.OnHandflow = [this](TVSPortAx&, int32_t AControlHandShake, int32_t AFlowReplace, int32_t AXOnLimit,
                            int32_t AXOffLimit) {
    AddLogLine("EVENT: ControlHandShake = " + std::to_string(AControlHandShake) + ", FlowReplace = " +
                   std::to_string(AFlowReplace) + ", XOnLimit = " + std::to_string(AXOnLimit) +
                   ", XOffLimit = " + std::to_string(AXOffLimit),
               true);
  };
  APort.OnSpecialChars = [this](TVSPortAx&, uint8_t AEofChar, uint8_t AErrorChar, uint8_t ABreakChar,
                                uint8_t AEventChar, uint8_t AXOnChar, uint8_t AXOffChar) {
    AddLogLine(
        "EVENT: EofChar = " + std::to_string(AEofChar) + ", ErrorChar = " + std::to_string(AErrorChar) +
            ", BreakChar = " + std::to_string(ABreakChar) + ", EventChar = " + std::to_string(AEventChar) +
            ", XOnChar = " + std::to_string(AXOnChar) + ", XOffChar = " + std::to_string(AXOffChar),
        true);
  };
  APort.OnBaudRate = [this](TVSPortAx& ASender, int32_t ABaudrate) {
    AddLogLine("Baudrate = " + std::to_string(ABaudrate), false);
    static_cast<TLumVirtualPort&>(ASender).ApplicationBaudRate(ABaudrate);
  };
  APort.OnEvent = [this](TVSPortAx&, int32_t AEvtMask) {
    AddLogLine("EVENT: EvtMask = " + std::to_string(AEvtMask), true);
  };
  APort.OnBreak = [this](TVSPortAx&, bool ABreak) {
    AddLogLine(std::string("EVENT: bBreak = ") + TrueFalse(ABreak), true);
  };
}

}  // namespace orvane

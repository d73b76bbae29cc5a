#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "channels/server_interface.h"
#include "channels/stop_watch.h"
#include "model/lum_port_params.h"
#include "ports/port_environment.h"
#include "ports/process_thread.h"

namespace orvane {

// A log line of a bridge: the text and whether it is a detail (debug) line.
using TWriteLogEvent = std::function<void(const std::string& AMessage, bool ADebug)>;
// Reads up to ACount bytes of the local port into ABuffer; returns how many it read.
using TLocalRead = std::function<int32_t(char* ABuffer, int32_t ACount)>;

// What the shared worker pass needs from the local port it serves.
class IBridgeLocalPort {
 public:
  // One creation attempt by the worker (the bridge's CreatePort).
  virtual bool RetryCreatePort() = 0;
  // Bytes from the network into the local port (worker). Returns how many the
  // port took; when not all, AWhyNot says why the rest is lost, or stays empty
  // when the port tells that loss itself (LocalWriteDropped).
  virtual int32_t WriteLocal(const std::string& AData, std::string& AWhyNot) = 0;
  // Line settings announced by the remote end (worker).
  virtual void RemoteLineSettings(TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity,
                                  TTCP_Port_StopBits AStopBits, TTCP_Port_DataBits ADataBits) = 0;
  // Worker, while the port counts as created: false (with the reason) when the
  // local port went away; it is then closed and created again on the retry schedule.
  virtual bool LocalPortAlive(std::string& /*AWhyNot*/) { return true; }
  virtual void CloseLostPort() {}
  // How often LocalPortAlive must be asked at the least; negative: never.
  virtual int32_t AliveCheckPeriodMs() const { return -1; }

 protected:
  ~IBridgeLocalPort() = default;
};

// Bytes lost in one direction, told in one log line per episode instead of one per chunk.
// Threads: the worker only.
class TDropTally {
 public:
  // A line is due when the reason changes or the episode has lasted ALongMs.
  std::optional<std::string> Add(size_t ACount, const std::string& AReason, uint32_t ANow, uint32_t ALongMs);
  // The episode ends: bytes are delivered again, or the port goes.
  std::optional<std::string> End();

  // The line given for ACount bytes lost for AReason; APrefix names the direction.
  static std::string Line(const std::string& APrefix, size_t ACount, const std::string& AReason);

  std::string Prefix;  // "OUT: " or "<address>:<port> OUT: "

 private:
  size_t FCount = 0;
  std::string FReason;
  uint32_t FSince = 0;
};

// The part the virtual and the physical port bridge share: the channel, the
// worker and its pass, the three stopwatches, the bytes from the local
// application, the hello and the state report. The bridge that owns it supplies
// the local port (IBridgeLocalPort) and the line settings it reports.
// Threads: construction, Shutdown and the first FinishCreatePort on the main
// thread; OnRxData, LocalBytesArrived and LocalWriteDropped on the local port's
// watcher thread (tests call them on the main thread); Process and NextWait on
// the worker; IsActive, WriteLog and Wake from any. FLock guards FRxData and FReceivePacket and is held only
// to append or take. FIsCreated is atomic; every other field belongs to the worker once it runs.
// OnWriteLogEvent is set before the worker starts.
class TPortBridge {
 public:
  static constexpr uint32_t RECREATE_INTERVAL_MS = 10000;
  static constexpr int32_t MAX_RECREATE = 40;
  // Slowest spacing of reconnection attempts, and of a physical port's creation
  // attempts once the fast ones have run out.
  static constexpr uint32_t RECONNECT_INTERVAL_MS = 60000;
  // Spacing after the first failed reconnection attempts; RECONNECT_INTERVAL_MS after these.
  static constexpr uint32_t RECONNECT_BACKOFF_MS[] = {1000, 2000, 4000, 8000, 16000, 32000};
  // Most bytes from the application held for the network; more are dropped and counted.
  static constexpr size_t MAX_HELD_BYTES = 1048576;
  // The hold-back for the application's silence ends at this many bytes or this age of the oldest.
  static constexpr size_t HOLD_BACK_MAX_BYTES = 65536;
  static constexpr uint32_t HOLD_BACK_MAX_MS = 1000;
  static constexpr uint32_t HELLO_INTERVAL_MS = 15000;
  // A connection that worked and dropped is reopened at once, but a peer that
  // accepts and drops at once is not tried more often than this.
  static constexpr uint32_t QUICK_REOPEN_GAP_MS = 1000;
  // A drop episode that goes on is told at least this often.
  static constexpr uint32_t DROP_REPORT_MS = 60000;
  // How often an active channel without a readiness handle is looked at.
  static constexpr int32_t NO_HANDLE_PERIOD_MS = 10;

  TPortBridge(IBridgeLocalPort& APort, const TLumPortParams& APortParams, const TPortEnvironment& AEnv);
  ~TPortBridge();
  TPortBridge(const TPortBridge&) = delete;
  TPortBridge& operator=(const TPortBridge&) = delete;

  // Main thread: stops the worker and waits for it (serving its hand-offs),
  // tells what is left of the drop episodes, then releases the channel. Later
  // calls do nothing.
  void Shutdown();

  // The end of every CreatePort: when the port exists the retry count starts
  // afresh; the worker is started on the first call whatever the outcome.
  // AWhyNot, the reason of a failure, is logged when it differs from the last
  // failure's (the retries would repeat it up to MAX_RECREATE times).
  void FinishCreatePort(bool AExists, const std::string& AWhyNot = {});
  // Hands the channel the line settings of the local port and logs them.
  void SetState(int32_t ABaudRate, TTCP_Port_Parity AParityCode, uint8_t ADataBits,
                TTCP_Port_StopBits AStopBits, int32_t AReportedParity);

  bool IsCreated() const { return FIsCreated; }
  bool IsActive() const;
  // Bytes from the local application (the port's watcher): collected until the
  // worker takes them after ReadPacketTimeout ms of silence (or once
  // HOLD_BACK_MAX_BYTES are held or the oldest is HOLD_BACK_MAX_MS old). Beyond
  // MAX_HELD_BYTES they are dropped; the worker counts them.
  void OnRxData(const std::string& AData);
  // The local port announced ACount received bytes; reads them
  // through ARead (at most MAX_LOCAL_READ), logs them and collects them.
  void LocalBytesArrived(int32_t ACount, const TLocalRead& ARead);
  // The local port dropped ACount bytes it had taken or refused
  // (its OnWriteDropped, once per episode). AError is ENOBUFS when its queue
  // was full, AQueueFullWhy then says why; otherwise the errno of the write.
  void LocalWriteDropped(uint64_t ACount, int AError, const std::string& AQueueFullWhy) const;
  void Synchronize(const std::function<void()>& AMethod);
  void WriteLog(const std::string& AMessage, bool ADebug) const;
  // Lets the worker run its next pass now (after the clock was moved, or new work).
  void Wake();
  bool Terminated() const { return FProcessThread->Terminated(); }
  // Asks the worker to stop without waiting for it.
  void RequestStop() { FProcessThread->Terminate(); }
  // Passes run so far (tests and diagnostics).
  uint64_t PassCount() const { return FPassCount; }
  // Bytes handed to the channel, and bytes the local port took from it.
  uint64_t BytesToNetwork() const { return FBytesToNetwork; }
  uint64_t BytesToPort() const { return FBytesToPort; }
  // Bytes told dropped so far, both ways (the sum of the "dropped [n]" lines).
  uint64_t DroppedBytes() const { return FDroppedBytes; }
  // Connections made again after the first one worked.
  uint64_t Reconnects() const { return FReconnects; }
  // When the port last began or stopped working (or was built), in seconds since the epoch.
  int64_t StateSince() const { return FStateSince; }
  // The last failure told (creating the port, connecting, sending) and when; empty while none.
  std::string LastError(int64_t& AWhen) const;

  const TLumPortParams& PortParams() const { return FPortParams; }
  IServerInterface* TcpServer() const { return FCommServer.get(); }
  const TPortEnvironment& Environment() const { return FEnv; }

  // More than this is never read for one received-characters event.
  static constexpr int32_t MAX_LOCAL_READ = 65536;

  TWriteLogEvent OnWriteLogEvent;

 private:
  void Process();
  // The next of: the channel's readiness handle, its deadline, the stopwatches'
  // deadlines and the hold-back or the channel's pause between sends; the worker's wake-up
  // ends the sleep as well.
  TNextWait NextWait();
  // The channel's GetActive; a connection seen up and now down makes the next
  // reopen due at once (or QUICK_REOPEN_GAP_MS after the last attempt).
  bool ChannelActive();
  bool ConnectServer();
  void DisconnectServer();
  // Worker: the creation attempt is due (fast ones first, then a physical port's slow ones).
  bool RecreateDue() const;
  void RetryCreate();
  // Worker: what the application wrote while no connection was there to take it is
  // dropped, as is what went past MAX_HELD_BYTES: nothing stale reaches the peer later.
  void DropUnsendable();
  // Milliseconds until the held bytes may leave (the hold-back); 0 when they may now.
  int64_t HoldBackRemaining() const;
  // Under FLock: holds AData, read at AReadAt, for the worker (up to MAX_HELD_BYTES).
  void HoldLocked(const std::string& AData, uint32_t AReadAt);
  std::string TakeRxData();
  void SendRxData();
  void ReadServerData();
  void SendHello();
  void ReportState();
  void CheckLocalPort();
  void DoReceiveData(const std::string& AData);
  void DoParamPortChange(TTCP_Port_BaudRate ABaudRate, TTCP_Port_Parity AParity, TTCP_Port_StopBits AStopBits,
                         TTCP_Port_DataBits ADataBits);
  void DoHelloFailed();
  void Dropped(TDropTally& ATally, size_t ACount, const std::string& AReason);
  // ACount bytes the local port refused as its queue is full: the port tells the episode when
  // it is over, but one that lasts is told from here at least every DROP_REPORT_MS.
  void PortRefused(size_t ACount);
  void EndDrops(TDropTally& ATally);
  std::string ChannelPrefix() const;

  IBridgeLocalPort& FPort;
  const TPortEnvironment& FEnv;
  const TLumPortParams FPortParams;
  const bool FIsMqtt;
  IServerInterfacePtr FCommServer;
  std::unique_ptr<TProcessThread> FProcessThread;
  TStopWatch FRecreate;
  TStopWatch FReconnect;
  TStopWatch FReceivePacket;
  TStopWatch FAliveCheck;
  mutable std::mutex FLock;
  std::string FRxData;
  uint32_t FRxSince = 0;   // tick of the oldest byte in FRxData
  size_t FRxOverflow = 0;  // bytes past MAX_HELD_BYTES, not yet counted
  std::atomic<bool> FIsCreated{false};
  bool FIsActive = false;
  int32_t FCountRecreate = 0;
  std::string FCreateFault;  // the reason last logged for a failed creation
  std::optional<uint32_t> FLastHello;
  bool FChannelUp = false;
  uint32_t FReconnectSpacing = RECONNECT_INTERVAL_MS;
  // Failed connection attempts in a row; the spacing grows with them.
  size_t FFailedConnects = 0;
  // A connection that worked has dropped and is reopened at once: what the
  // application wrote meanwhile waits for that attempt.
  bool FReopenPending = false;
  TDropTally FToPortDrops;
  // Refused by a full local queue since the last line about it (worker), and told from here
  // ahead of the port's own count of the episode, which leaves them out (LocalWriteDropped).
  uint64_t FPortRefused = 0;
  uint32_t FPortRefusedSince = 0;
  mutable std::atomic<uint64_t> FPortToldAhead{0};
  TDropTally FToNetworkDrops;
  bool FShutDown = false;
  std::atomic<uint64_t> FPassCount{0};
  std::atomic<uint64_t> FBytesToNetwork{0};
  std::atomic<uint64_t> FBytesToPort{0};
  mutable std::atomic<uint64_t> FDroppedBytes{0};
  std::atomic<uint64_t> FReconnects{0};
  bool FConnectedOnce = false;  // worker
  std::atomic<int64_t> FStateSince;
  // Held only when a failure is noted or the status asked, never on the data path.
  mutable std::mutex FErrorLock;
  std::string FLastError;
  int64_t FLastErrorAt = 0;
  void NoteError(const std::string& AError);
};

}  // namespace orvane

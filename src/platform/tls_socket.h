#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tcp_socket.h"

namespace orvane {

// Files and pass phrase for the client side of a TLS handshake; empty fields are not used.
struct TTlsSettings {
  std::string CertCAFile;  // trusted CAs; empty: the system's store
  std::string CertificateFile;
  std::string PrivateKeyFile;
  std::string KeyPassword;
  // Check the server's chain against the CAs and its name against the host connected to.
  // Off only by an explicit choice: without it anyone on the path can pose as the broker.
  bool VerifyPeer = true;
};

// A TLS client session (OpenSSL 3) over a connected socket descriptor that it
// does not own. The server's certificate chain and host name (or IP address) are
// verified unless the settings switch that off.
// Works on a non-blocking descriptor: Send/Recv return 0 when they would block.
// Threads: one thread at a time uses an object.
class TTlsSocket {
 public:
  TTlsSocket();
  ~TTlsSocket();
  TTlsSocket(const TTlsSocket&) = delete;
  TTlsSocket& operator=(const TTlsSocket&) = delete;

  // Client handshake; waits in short slices, asking ACancel between them, at most ATimeoutMs.
  bool Connect(TSocketHandle AHandle, const std::string& AServerName, const TTlsSettings& ASettings,
               uint32_t ATimeoutMs, const TCancelCheck& ACancel = {});
  // > 0 bytes written; 0 when it would block (retry with the same bytes); -1 on an error.
  long Send(const void* AData, size_t ALength);
  // > 0 bytes read; 0 when nothing is readable yet; -1 on an error or a closed session.
  long Recv(void* ABuffer, size_t ALength);
  // Deciphered bytes held inside the TLS layer, readable without touching the socket.
  size_t Pending() const;
  // After Send or Recv returned 0: true when the session waits for the socket to be readable
  // (rather than writable) before it can go on.
  bool WantsRead() const { return FWantsRead; }
  // Sends close_notify when possible and frees the session; the descriptor stays open.
  void Close();
  bool IsOpen() const { return FSsl != nullptr; }

  int LastError() const { return FLastError; }
  const std::string& LastErrorText() const { return FLastErrorText; }

 private:
  bool Fail(int ACode, const std::string& AText);
  int Classify(int ARet, const char* AWhat);

  struct TCtxDeleter {
    void operator()(void* ACtx) const;
  };
  struct TSslDeleter {
    void operator()(void* ASsl) const;
  };
  std::unique_ptr<void, TCtxDeleter> FCtx;  // SSL_CTX
  std::unique_ptr<void, TSslDeleter> FSsl;  // SSL
  bool FWantsRead = false;
  int FLastError = 0;
  std::string FLastErrorText;
  std::string FKeyPassword;  // kept for the pass-phrase callback
};

}  // namespace orvane

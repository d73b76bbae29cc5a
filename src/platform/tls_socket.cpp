#include "platform/tls_socket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/deadline.h"

namespace orvane {

namespace {

constexpr uint32_t HANDSHAKE_SLICE_MS = 50;

SSL* AsSsl(void* APtr) {
  return static_cast<SSL*>(APtr);
}
SSL_CTX* AsCtx(void* APtr) {
  return static_cast<SSL_CTX*>(APtr);
}

// OpenSSL writes with write(), which raises SIGPIPE on a peer that has gone.
// Block the signal on this thread for the call and swallow one that became
// pending, so the process is not killed and no global handler is changed.
class TNoSigPipe {
 public:
  TNoSigPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &FOld);
  }
  ~TNoSigPipe() {
    if (!FWasPending) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        int sig = 0;
        sigwait(&pipe, &sig);  // pending, so it returns at once
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
  }

 private:
  sigset_t FOld;
  bool FWasPending = false;
};

int PasswordCallback(char* ABuf, int ASize, int /*ARwFlag*/, void* AUserData) {
  const auto* password = static_cast<const std::string*>(AUserData);
  const int n = static_cast<int>(std::min<size_t>(password->size(), static_cast<size_t>(ASize)));
  std::memcpy(ABuf, password->data(), static_cast<size_t>(n));
  return n;
}

std::string OpenSslErrorText(const char* AWhat) {
  std::string text = AWhat;
  const unsigned long e = ERR_get_error();
  if (e != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof(buf));
    text += ": ";
    text += buf;
  }
  ERR_clear_error();
  return text;
}

// The user's reading of a refused certificate; OpenSSL's own text follows it.
const char* VerifyReason(long AResult) {
  switch (AResult) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED: return "unknown CA";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "wrong name";
    case X509_V_ERR_CERT_HAS_EXPIRED: return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "not yet valid";
    default: return "refused";
  }
}

// Why a handshake ended; a peer that closed or answered in plain text is most likely no TLS listener.
std::string HandshakeFailure(SSL* ASsl, int AError, bool AVerified) {
  const long verify = SSL_get_verify_result(ASsl);
  if (AVerified && verify != X509_V_OK)
    return std::string("TLS handshake failed: certificate not accepted (") + VerifyReason(verify) +
           "): " + X509_verify_cert_error_string(verify);
  const int reason = ERR_GET_REASON(ERR_peek_error());
  const int sysError = errno;
  std::string text = OpenSslErrorText("TLS handshake failed");
  if (AError == SSL_ERROR_SYSCALL && sysError != 0) text += std::string(": ") + std::strerror(sysError);
  if (AError == SSL_ERROR_SYSCALL || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
      reason == SSL_R_WRONG_VERSION_NUMBER)
    text += " (no TLS from the broker: is this its TLS port?)";
  return text;
}

}  // namespace

void TTlsSocket::TCtxDeleter::operator()(void* ACtx) const {
  SSL_CTX_free(AsCtx(ACtx));
}
void TTlsSocket::TSslDeleter::operator()(void* ASsl) const {
  SSL_free(AsSsl(ASsl));
}

TTlsSocket::TTlsSocket() = default;

TTlsSocket::~TTlsSocket() {
  Close();
}

bool TTlsSocket::Fail(int ACode, const std::string& AText) {
  FLastError = ACode;
  FLastErrorText = AText;
  return false;
}

bool TTlsSocket::Connect(TSocketHandle AHandle, const std::string& AServerName, const TTlsSettings& ASettings,
                         uint32_t ATimeoutMs, const TCancelCheck& ACancel) {
  Close();
  FLastError = 0;
  FLastErrorText.clear();
  ERR_clear_error();
  std::unique_ptr<void, TCtxDeleter> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return Fail(-1, OpenSslErrorText("SSL_CTX_new"));
  SSL_CTX* c = AsCtx(ctx.get());
  SSL_CTX_set_verify(c, ASettings.VerifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  if (ASettings.VerifyPeer && ASettings.CertCAFile.empty() && SSL_CTX_set_default_verify_paths(c) != 1)
    return Fail(-1, OpenSslErrorText("system CA store"));
  FKeyPassword = ASettings.KeyPassword;
  SSL_CTX_set_default_passwd_cb(c, &PasswordCallback);
  SSL_CTX_set_default_passwd_cb_userdata(c, &FKeyPassword);
  if (!ASettings.CertCAFile.empty() &&
      SSL_CTX_load_verify_locations(c, ASettings.CertCAFile.c_str(), nullptr) != 1)
    return Fail(-1, OpenSslErrorText("CA file"));
  if (!ASettings.CertificateFile.empty() &&
      SSL_CTX_use_certificate_chain_file(c, ASettings.CertificateFile.c_str()) != 1)
    return Fail(-1, OpenSslErrorText("certificate file"));
  if (!ASettings.PrivateKeyFile.empty() &&
      SSL_CTX_use_PrivateKey_file(c, ASettings.PrivateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    return Fail(-1, OpenSslErrorText("private key file"));

  std::unique_ptr<void, TSslDeleter> ssl(SSL_new(c));
  if (!ssl) return Fail(-1, OpenSslErrorText("SSL_new"));
  SSL* s = AsSsl(ssl.get());
  // Partial writes and a moved retry buffer let Send behave like a non-blocking send().
  SSL_set_mode(s, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_set_fd(s, AHandle) != 1) return Fail(-1, OpenSslErrorText("SSL_set_fd"));
  TIPv4Address literal;
  const bool isAddress = ParseIPv4(AServerName, literal);
  if (!AServerName.empty() && !isAddress) SSL_set_tlsext_host_name(s, AServerName.c_str());
  if (ASettings.VerifyPeer) {
    // The chain alone proves only that some CA vouched for someone: the name must match too.
    const int named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s), AServerName.c_str())
                                : SSL_set1_host(s, AServerName.c_str());
    if (named != 1) return Fail(-1, OpenSslErrorText("server name"));
  }

  const TDeadline deadline(ATimeoutMs);
  for (;;) {
    int ret;
    {
      TNoSigPipe guard;
      errno = 0;  // a failure then shows only what this call met
      ret = SSL_connect(s);
    }
    if (ret == 1) break;
    const int err = SSL_get_error(s, ret);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
      return Fail(err, HandshakeFailure(s, err, ASettings.VerifyPeer));
    if (ACancel && ACancel()) return Fail(SocketErrorCanceled(), "TLS handshake canceled");
    if (deadline.Expired()) return Fail(SocketErrorTimedOut(), "TLS handshake timed out");
    // Short slices, so a cancel request is seen promptly.
    PollOne(AHandle, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
            TDeadline(std::min<uint32_t>(HANDSHAKE_SLICE_MS, deadline.RemainingMs())));
  }
  FCtx = std::move(ctx);
  FSsl = std::move(ssl);
  return true;
}

int TTlsSocket::Classify(int ARet, const char* AWhat) {
  const int err = SSL_get_error(AsSsl(FSsl.get()), ARet);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    FWantsRead = err == SSL_ERROR_WANT_READ;
    ERR_clear_error();
    return 0;
  }
  if (err == SSL_ERROR_ZERO_RETURN) {
    Fail(err, std::string(AWhat) + ": connection closed by peer");
  } else if (err == SSL_ERROR_SYSCALL) {
    const int e = errno;
    Fail(e != 0 ? e : err, std::string(AWhat) + ": " + (e != 0 ? std::strerror(e) : "connection closed"));
    ERR_clear_error();
  } else {
    Fail(err, OpenSslErrorText(AWhat));
  }
  return -1;
}

long TTlsSocket::Send(const void* AData, size_t ALength) {
  if (!FSsl) return Fail(EBADF, "no TLS session"), -1;
  if (ALength == 0) return 0;
  FWantsRead = false;
  size_t written = 0;
  int ret;
  {
    TNoSigPipe guard;
    ret = SSL_write_ex(AsSsl(FSsl.get()), AData, ALength, &written);
  }
  if (ret == 1) return static_cast<long>(written);
  return Classify(ret, "TLS write");
}

long TTlsSocket::Recv(void* ABuffer, size_t ALength) {
  if (!FSsl) return Fail(EBADF, "no TLS session"), -1;
  if (ALength == 0) return 0;
  FWantsRead = false;
  size_t got = 0;
  int ret;
  {
    // A read may answer a key update with a write.
    TNoSigPipe guard;
    ret = SSL_read_ex(AsSsl(FSsl.get()), ABuffer, ALength, &got);
  }
  if (ret == 1) return static_cast<long>(got);
  return Classify(ret, "TLS read");
}

size_t TTlsSocket::Pending() const {
  return FSsl ? static_cast<size_t>(SSL_pending(AsSsl(FSsl.get()))) : 0;
}

void TTlsSocket::Close() {
  if (FSsl) {
    TNoSigPipe guard;
    SSL_shutdown(AsSsl(FSsl.get()));  // best effort: one close_notify, no wait for the answer
  }
  FSsl.reset();
  FCtx.reset();
  ERR_clear_error();
}

}  // namespace orvane

#include "support/mosquitto_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace orvane::test {

namespace {

// A loopback port that was free a moment ago. Only a guess: mosquitto cannot
// bind port 0 and report it, so another process may take the port before the
// broker binds it; Start then fails and the constructor tries new ports.
uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("no free loopback port");
  ::close(fd);
  return ntohs(addr.sin_port);
}

// How often the constructor picks new ports when the broker could not take them.
constexpr int START_ATTEMPTS = 5;

bool Accepts(uint16_t APort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(APort);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

void Run(const std::string& ACommand) {
  if (std::system(ACommand.c_str()) != 0) throw std::runtime_error("command failed: " + ACommand);
}

const char* MosquittoBinary() {
  for (const char* path : {"/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto", "/usr/bin/mosquitto"})
    if (::access(path, X_OK) == 0) return path;
  return "mosquitto";
}

// A key and a certificate for AName signed by the CA in ADir, valid from now for a day,
// or, with AExpired, until yesterday.
void MakeServerCertificate(const std::string& ADir, const std::string& ASubjectAltName, bool AExpired) {
  Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost "
      "-keyout " +
      ADir + "/key.pem -out " + ADir + "/server.csr >/dev/null 2>&1");
  std::ofstream(ADir + "/server.ext") << "subjectAltName=" << ASubjectAltName << "\n";
  Run("openssl x509 -req -in " + ADir + "/server.csr -CA " + ADir + "/ca.pem -CAkey " + ADir +
      "/ca.key -CAcreateserial -days " + (AExpired ? "-1" : "2") + " -extfile " + ADir + "/server.ext -out " +
      ADir + "/cert.pem >/dev/null 2>&1");
}

}  // namespace

std::string MakeTestCa(const std::string& ADir) {
  // Each CA a name of its own: OpenSSL looks an issuer up by its name.
  std::string name = ADir;
  std::replace(name.begin(), name.end(), '/', '_');
  Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "
      "\"/CN=Orvane test CA" +
      name + "\" -keyout " + ADir + "/ca.key -out " + ADir + "/ca.pem >/dev/null 2>&1");
  return ADir + "/ca.pem";
}

TMosquitto::TMosquitto(const TOptions& AOptions) : FOptions(AOptions) {
  const std::string dir = FDir.Str();
  if (!FOptions.UserName.empty())
    Run("mosquitto_passwd -c -b " + dir + "/passwd " + FOptions.UserName + " " + FOptions.Password +
        " >/dev/null 2>&1");
  if (FOptions.Tls) {
    MakeTestCa(dir);
    MakeServerCertificate(dir, FOptions.TlsSubjectAltName, FOptions.TlsExpired);
  }
  for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
    FPort = FreeLoopbackPort();
    FTlsPort = FOptions.Tls ? FreeLoopbackPort() : 0;
    WriteConfig();
    if (Start()) return;
    // A broker that ran and ended lost a port to another process; one that hung is not retried.
    if (!FEndedAtStart) break;
  }
  throw std::runtime_error("mosquitto did not start: " + Log());
}

void TMosquitto::WriteConfig() {
  const std::string dir = FDir.Str();
  std::ofstream conf(dir + "/mosquitto.conf");
  conf << "persistence false\n";
  conf << "log_dest file " << dir << "/mosquitto.log\n";
  // The defaults, and each subscription for Subscriptions.
  for (const char* type : {"error", "warning", "notice", "information", "subscribe"})
    conf << "log_type " << type << "\n";
  // Started as root, mosquitto would switch to its own user and lose the temp files.
  if (::geteuid() == 0) conf << "user root\n";
  if (FOptions.TcpNoDelay) conf << "set_tcp_nodelay true\n";
  conf << "listener " << FPort << " 127.0.0.1\n";
  if (FOptions.UserName.empty()) {
    conf << "allow_anonymous true\n";
  } else {
    conf << "allow_anonymous false\n";
    conf << "password_file " << dir << "/passwd\n";
  }
  if (FOptions.Tls) {
    conf << "listener " << FTlsPort << " 127.0.0.1\n";
    conf << "certfile " << dir << "/cert.pem\n";
    conf << "keyfile " << dir << "/key.pem\n";
  }
  // Last: every line after "connection" belongs to the bridge.
  if (FOptions.BridgeTo != 0) {
    conf << "connection orvane-bridge\n";
    conf << "address 127.0.0.1:" << FOptions.BridgeTo << "\n";
    conf << "remote_clientid orvane-bridge-" << FPort << "\n";
    conf << "topic " << FOptions.BridgeTopic << " both 0\n";
    conf << "restart_timeout 1\n";
    if (!FOptions.UserName.empty()) {
      conf << "remote_username " << FOptions.UserName << "\n";
      conf << "remote_password " << FOptions.Password << "\n";
    }
  }
}

TMosquitto::~TMosquitto() {
  Stop();
}

bool TMosquitto::Start() {
  if (FPid > 0) return true;
  const std::string conf = FDir.Str() + "/mosquitto.conf";
  // A restart appends to the log: only what this start writes counts.
  const size_t logStart = Log().size();
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Dies with the test process even when that one crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    const char* bin = MosquittoBinary();
    ::execlp(bin, bin, "-c", conf.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  FPid = pid;
  FEndedAtStart = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      FEndedAtStart = true;
      return false;
    }
    // The broker says "running" once every listener is bound; until then a
    // connection may reach another process on a port it took first.
    if (Log().find(" running", logStart) != std::string::npos && Accepts(FPort) &&
        (FTlsPort == 0 || Accepts(FTlsPort)))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  return false;
}

void TMosquitto::Stop() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(FPid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  FPid = -1;
}

std::string TMosquitto::CaFile() const {
  return FDir.Str() + "/ca.pem";
}

size_t TMosquitto::Subscriptions(const std::string& ATopic) const {
  // Each is logged as "<time>: <client id> <QoS> <topic>".
  const std::string log = Log();
  const std::string line = " 0 " + ATopic + "\n";
  size_t count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
  return count;
}

std::string TMosquitto::Log() const {
  std::ifstream in(FDir.Str() + "/mosquitto.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace orvane::test

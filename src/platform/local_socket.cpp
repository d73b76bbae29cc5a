#include "platform/local_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errno_text.h"

namespace orvane {

namespace {

TUniqueFd OpenFolder(const std::string& ADir) {
  return TUniqueFd(::open(ADir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// The address of AName in the folder: its path when it fits, else the path
// through the folder's descriptor, which the kernel resolves the same way.
sockaddr_un AddressOf(const std::string& ADir, int ADirFd, const std::string& AName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = ADir + "/" + AName;
  if (path.size() >= sizeof address.sun_path) path = "/proc/self/fd/" + std::to_string(ADirFd) + "/" + AName;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

std::string CallFailed(const char* ACall, const std::string& AName) {
  return ErrnoText(std::string(ACall) + " " + AName);
}

}  // namespace

TLocalListener::TLocalListener(const std::string& ADir, const std::string& AName, uint32_t AMode)
    : FDir(OpenFolder(ADir)), FName(AName) {
  if (!FDir.Valid()) {
    FError = CallFailed("open", ADir);
    return;
  }
  FLock = std::make_unique<TInstanceLock>(ADir + "/" + AName + ".lock");
  if (!FLock->Held()) {
    FHeldElsewhere = FLock->HeldElsewhere();
    FError = FHeldElsewhere ? "another instance answers on " + ADir + "/" + AName : FLock->Error();
    return;
  }
  // With the lock ours, a socket file there was left by an instance that is gone.
  struct stat info {};
  if (::fstatat(FDir.Get(), AName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      FError = ADir + "/" + AName + " exists and is not a socket";
      return;
    }
    ::unlinkat(FDir.Get(), AName.c_str(), 0);
  }
  TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const sockaddr_un address = AddressOf(ADir, FDir.Get(), AName);
  if (!fd.Valid()) {
    FError = CallFailed("socket", AName);
  } else if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    FError = CallFailed("bind", ADir + "/" + AName);
  } else if (::fchmodat(FDir.Get(), AName.c_str(), static_cast<mode_t>(AMode), 0) != 0 ||
             ::listen(fd.Get(), 16) != 0) {
    // Nobody could connect before listen: the mode is in place first.
    FError = CallFailed("listen", ADir + "/" + AName);
    ::unlinkat(FDir.Get(), AName.c_str(), 0);
  } else {
    FFd = std::move(fd);
  }
}

TLocalListener::~TLocalListener() {
  if (FFd.Valid()) ::unlinkat(FDir.Get(), FName.c_str(), 0);
}

TUniqueFd TLocalListener::Accept() {
  return TUniqueFd(::accept4(FFd.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}

TUniqueFd ConnectLocal(const std::string& ADir, const std::string& AName, int& AError) {
  const TUniqueFd dir = OpenFolder(ADir);
  TUniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!dir.Valid() || !fd.Valid()) {
    AError = errno;
    return {};
  }
  const sockaddr_un address = AddressOf(ADir, dir.Get(), AName);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    AError = errno;
    return {};
  }
  AError = 0;
  return fd;
}

bool WriteAllBefore(int AFd, std::string_view AData, const TDeadline& ADeadline, int AStopFd) {
  while (!AData.empty()) {
    const ssize_t n = ::send(AFd, AData.data(), AData.size(), MSG_NOSIGNAL);
    if (n > 0) {
      AData.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd fds[2] = {{AFd, POLLOUT, 0}, {AStopFd, POLLIN, 0}};
    if (PollUntil(fds, 2, ADeadline) <= 0 || fds[1].revents != 0) return false;
  }
  return true;
}

bool ReadToEndBefore(int AFd, std::string& AData, size_t ALimit, const TDeadline& ADeadline) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(AFd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n > 0) {
      AData.append(buffer, static_cast<size_t>(n));
      if (AData.size() > ALimit) return false;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (PollOne(AFd, POLLIN, ADeadline) <= 0) return false;
  }
}

}  // namespace orvane

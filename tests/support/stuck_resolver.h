#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/tcp_socket.h"

namespace orvane::test {

// A name server that never answers: every lookup blocks until the test releases
// them all (at the latest when this object goes), then answers 10.9.8.7.
class TStuckResolver {
 public:
  TStuckResolver() = default;
  TStuckResolver(const TStuckResolver&) = delete;
  TStuckResolver& operator=(const TStuckResolver&) = delete;
  ~TStuckResolver() { Release(); }

  TResolveFunction Function() {
    return [state = FState](const std::string&, TIPv4Address& AAddress, std::string*) {
      ++state->Calls;
      std::unique_lock lock(state->Lock);
      state->Wake.wait(lock, [&] { return state->Released; });
      AAddress = TIPv4Address{{10, 9, 8, 7}};
      ++state->Finished;
      return true;
    };
  }
  int Calls() const { return FState->Calls; }
  int Finished() const { return FState->Finished; }
  void Release() {
    std::lock_guard lock(FState->Lock);
    FState->Released = true;
    FState->Wake.notify_all();
  }

 private:
  struct TState {
    std::mutex Lock;
    std::condition_variable Wake;
    bool Released = false;
    std::atomic<int> Calls{0};
    std::atomic<int> Finished{0};
  };
  std::shared_ptr<TState> FState = std::make_shared<TState>();
};

}  // namespace orvane::test

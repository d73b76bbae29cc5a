#include "platform/main_dispatcher.h"

#include <poll.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>

#include "platform/deadline.h"

namespace orvane {

TMainDispatcher::TMainDispatcher() : FMainThread(std::this_thread::get_id()) {}

void TMainDispatcher::Post(std::function<void()> ACall) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FQueue.push_back(std::move(ACall));
  }
  FWake.Signal();
}

void TMainDispatcher::Send(const std::function<void()>& ACall) {
  if (IsMainThread()) {
    ACall();
    return;
  }
  struct TState {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Error;
  };
  auto state = std::make_shared<TState>();
  Post([state, &ACall] {
    std::exception_ptr error;
    try {
      ACall();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> guard(state->Lock);
    state->Error = error;
    state->Finished = true;
    state->Done.notify_all();
  });
  std::unique_lock<std::mutex> lock(state->Lock);
  state->Done.wait(lock, [&] { return state->Finished; });
  if (state->Error) std::rethrow_exception(state->Error);
}

size_t TMainDispatcher::ProcessPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FWake.Drain();
    batch.swap(FQueue);
  }
  for (auto& call : batch) {
    try {
      call();
    } catch (...) {
      ReportError(std::current_exception());
    }
  }
  return batch.size();
}

void TMainDispatcher::ReportError(std::exception_ptr AError) {
  if (FOnError) {
    FOnError(AError);
    return;
  }
  try {
    std::rethrow_exception(AError);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Unhandled error in a main-thread call: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Unhandled error in a main-thread call\n");
  }
}

size_t TMainDispatcher::WaitAndProcess(int ATimeoutMs) {
  PollOne(FWake.Fd(), POLLIN,
          ATimeoutMs < 0 ? TDeadline::Never() : TDeadline(static_cast<uint32_t>(ATimeoutMs)));
  return ProcessPending();
}

}  // namespace orvane

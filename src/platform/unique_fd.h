#pragma once

#include <utility>

namespace orvane {

// The one owner of a file descriptor: closed on destruction or Reset, handed
// over by move. Every descriptor the program opens lives in one of these.
class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int AFd) : FFd(AFd) {}
  ~TUniqueFd() { Reset(); }
  TUniqueFd(TUniqueFd&& AOther) noexcept : FFd(AOther.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& AOther) noexcept {
    if (this != &AOther) Reset(AOther.Release());
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(FFd, -1); }
  // Closes the descriptor held (if any) and takes AFd.
  void Reset(int AFd = -1);

 private:
  int FFd = -1;
};

}  // namespace orvane

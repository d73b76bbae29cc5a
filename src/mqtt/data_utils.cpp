#include "mqtt/data_utils.h"

#include <algorithm>
#include <cstring>

namespace orvane::DataUtils {

namespace {
// Written so that a huge count cannot wrap the sum.
bool Holds(TByteView ASource, size_t AOffset, size_t ACount) {
  return AOffset <= ASource.size() && ACount <= ASource.size() - AOffset;
}
}  // namespace

void EnsureLength(TBytes& ABuffer, size_t ALength) {
  if (ABuffer.size() < ALength) ABuffer.resize(ALength, 0);
}

void WriteData(const uint8_t* ASource, size_t ACount, TBytes& ABuffer, size_t& AOffset, bool AReverse) {
  EnsureLength(ABuffer, AOffset + ACount);
  if (AReverse) {
    std::reverse_copy(ASource, ASource + ACount, ABuffer.begin() + AOffset);
  } else if (ACount > 0) {
    std::memcpy(ABuffer.data() + AOffset, ASource, ACount);
  }
  AOffset += ACount;
}

bool ReadData(TByteView ASource, size_t& AOffset, bool AReverse, uint8_t* ADest, size_t ACount) {
  if (ACount > 0) std::memset(ADest, 0, ACount);
  if (!Holds(ASource, AOffset, ACount)) return false;
  const uint8_t* from = ASource.data() + AOffset;
  if (AReverse) {
    std::reverse_copy(from, from + ACount, ADest);
  } else if (ACount > 0) {
    std::memcpy(ADest, from, ACount);
  }
  AOffset += ACount;
  return true;
}

void WriteByte(uint8_t AValue, TBytes& ABuffer, size_t& AOffset) {
  WriteData(&AValue, 1, ABuffer, AOffset, false);
}

bool ReadByte(TByteView ASource, size_t& AOffset, uint8_t& AValue) {
  return ReadData(ASource, AOffset, false, &AValue, 1);
}

void WriteWord(uint16_t AValue, TBytes& ABuffer, size_t& AOffset, bool AFirstHigh) {
  const uint8_t hi = uint8_t(AValue >> 8), lo = uint8_t(AValue);
  const uint8_t bytes[2] = {AFirstHigh ? hi : lo, AFirstHigh ? lo : hi};
  WriteData(bytes, 2, ABuffer, AOffset, false);
}

bool ReadWord(TByteView ASource, size_t& AOffset, uint16_t& AValue, bool AFirstHigh) {
  uint8_t bytes[2];
  AValue = 0;
  if (!ReadData(ASource, AOffset, false, bytes, 2)) return false;
  AValue = AFirstHigh ? uint16_t(bytes[0] << 8 | bytes[1]) : uint16_t(bytes[1] << 8 | bytes[0]);
  return true;
}

void WriteBytes(TByteView ASource, size_t AStart, TBytes& ABuffer, size_t& AOffset, size_t ACount) {
  WriteData(ASource.data() + AStart, ACount, ABuffer, AOffset, false);
}

bool ReadBytes(TByteView ASource, size_t& AOffset, TBytes& ABuffer, size_t ADestStart, size_t ACount) {
  EnsureLength(ABuffer, ADestStart + ACount);
  return ReadData(ASource, AOffset, false, ABuffer.data() + ADestStart, ACount);
}

TBytes CopyBytes(TByteView ASource, size_t ACount) {
  return TBytes(ASource.begin(), ASource.begin() + std::min(ACount, ASource.size()));
}

void WriteRawString(const std::string& AText, TBytes& ABuffer, size_t& AOffset) {
  WriteData(reinterpret_cast<const uint8_t*>(AText.data()), AText.size(), ABuffer, AOffset, false);
}

bool ReadRawString(TByteView ASource, size_t& AOffset, size_t ACount, std::string& AText) {
  AText.clear();
  if (!Holds(ASource, AOffset, ACount)) return false;
  AText.assign(reinterpret_cast<const char*>(ASource.data() + AOffset), ACount);
  AOffset += ACount;
  return true;
}

void WriteString(const std::string& AText, TBytes& ABuffer, size_t& AOffset, bool AFirstHigh) {
  const size_t n = std::min<size_t>(AText.size(), 0xFFFF);
  WriteWord(uint16_t(n), ABuffer, AOffset, AFirstHigh);
  WriteData(reinterpret_cast<const uint8_t*>(AText.data()), n, ABuffer, AOffset, false);
}

bool ReadString(TByteView ASource, size_t& AOffset, std::string& AText, bool AFirstHigh) {
  AText.clear();
  uint16_t n = 0;
  if (!ReadWord(ASource, AOffset, n, AFirstHigh)) return false;
  return ReadRawString(ASource, AOffset, n, AText);
}

}  // namespace orvane::DataUtils

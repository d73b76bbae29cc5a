#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvane {

using TBytes = std::vector<uint8_t>;
using TByteView = std::span<const uint8_t>;

// Field writers and readers at a moving offset. Writers grow the buffer to fit
// (never shrink it). Readers check that the source holds the whole field
// first; on a short source they return false, leave the offset where it was
// and the destination zeroed. Text is UTF-8 on both sides, so it is copied as is.
namespace DataUtils {

void EnsureLength(TBytes& ABuffer, size_t ALength);

void WriteData(const uint8_t* ASource, size_t ACount, TBytes& ABuffer, size_t& AOffset, bool AReverse);
bool ReadData(TByteView ASource, size_t& AOffset, bool AReverse, uint8_t* ADest, size_t ACount);

void WriteByte(uint8_t AValue, TBytes& ABuffer, size_t& AOffset);
bool ReadByte(TByteView ASource, size_t& AOffset, uint8_t& AValue);

void WriteWord(uint16_t AValue, TBytes& ABuffer, size_t& AOffset, bool AFirstHigh);
bool ReadWord(TByteView ASource, size_t& AOffset, uint16_t& AValue, bool AFirstHigh);

void WriteBytes(TByteView ASource, size_t AStart, TBytes& ABuffer, size_t& AOffset, size_t ACount);
// Lengthens ABuffer to ADestStart + ACount even when the read then fails.
bool ReadBytes(TByteView ASource, size_t& AOffset, TBytes& ABuffer, size_t ADestStart, size_t ACount);

// A new array of exactly ACount bytes: the first ACount bytes of ASource.
TBytes CopyBytes(TByteView ASource, size_t ACount);

void WriteRawString(const std::string& AText, TBytes& ABuffer, size_t& AOffset);
bool ReadRawString(TByteView ASource, size_t& AOffset, size_t ACount, std::string& AText);

// 16-bit length then the bytes. A text longer than 65535 bytes is cut to
// 65535 so the length field stays true and the packet stays readable.
void WriteString(const std::string& AText, TBytes& ABuffer, size_t& AOffset, bool AFirstHigh);
// On a short text the two length bytes have already been consumed.
bool ReadString(TByteView ASource, size_t& AOffset, std::string& AText, bool AFirstHigh);

}  // namespace DataUtils

}  // namespace orvane

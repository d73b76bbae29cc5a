#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvane {

// What ReadElfSection found.
enum class TElfSection {
  Found,
  // No such section with contents: the file cannot be opened, is no 64-bit
  // little-endian ELF file, lacks the section, or has it empty or without
  // bytes in the file (SHT_NOBITS).
  Missing,
  // The section is there but larger than allowed, or cannot be read.
  Unreadable,
};

// Reads the contents of the section named AName from an ELF file, the format
// of the executables here. Every read is checked against the file's size, so
// a damaged or hostile file only gives Missing or Unreadable.
TElfSection ReadElfSection(const std::string& AFileName, const std::string& AName, uint64_t AMaxSize,
                           std::vector<uint8_t>& AData);
// The same over a file image in memory (for the fuzzer).
TElfSection ReadElfSection(std::span<const uint8_t> AImage, const std::string& AName, uint64_t AMaxSize,
                           std::vector<uint8_t>& AData);

}  // namespace orvane

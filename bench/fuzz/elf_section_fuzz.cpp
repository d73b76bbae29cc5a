// The version-record reader walks ELF headers of a file it did not write: any
// image must give Found or Missing with the section's bytes in bounds, never a
// read outside the image or an allocation beyond the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/elf_section.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  constexpr uint64_t MAX_SECTION = 1 << 16;
  std::vector<uint8_t> section;
  const auto result =
      orvane::ReadElfSection(std::span<const uint8_t>(AData, ASize), ".orvane_version", MAX_SECTION, section);
  if (result == orvane::TElfSection::Found && (section.empty() || section.size() > MAX_SECTION)) std::abort();
  return 0;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane {

// lookup3's hashlittle: the 32-bit hash of ALength bytes at AKey, started
// from AInitval. Byte order independent (reads the bytes one by one).
uint32_t hashlittle(const void* AKey, size_t ALength, uint32_t AInitval);

// A new random (version 4) GUID in braced upper-case text:
// "{XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX}", 38 characters.
std::string NewGuidText();

// hashlittle (initial value 0) of the UTF-16LE bytes of a GUID text (76 bytes
// for the 38 characters).
uint32_t GuidTextKey(const std::string& AGuidText);

// A random 32-bit key for the MQTT channel: GuidTextKey of a new GUID.
uint32_t GenerateSecurityKey();

// ALength characters drawn uniformly from "0-9A-Za-z".
std::string RandomString(size_t ALength);

// A fresh topic: "/Orvane/" followed by RandomString(6).
std::string GenerateTopic();

}  // namespace orvane

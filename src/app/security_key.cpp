#include "app/security_key.h"

// Placeholder until the key generator lands; keeps the window buildable.
namespace orvane {

uint32_t hashlittle(const void*, size_t, uint32_t AInitval) {
  return AInitval;
}

std::string NewGuidText() {
  return "{00000000-0000-4000-8000-000000000000}";
}

uint32_t GuidTextKey(const std::string&) {
  return 1;
}

uint32_t GenerateSecurityKey() {
  return 1;
}

std::string RandomString(size_t ALength) {
  return std::string(ALength, 'A');
}

std::string GenerateTopic() {
  return "/Orvane/" + RandomString(6);
}

}  // namespace orvane

// Guards of the station configuration. For now: when the configuration file last changed.
#pragma once

#include <cstdint>

namespace integrity {
constexpr const char* kConfigurationFile = "/var/parameters/configuration.xml";
}  // namespace integrity

// Modification time of the configuration file in seconds since 1970; 0 (logged) when it cannot
// be examined.
uint32_t GetConfigurationDate();

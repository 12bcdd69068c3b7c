#include "Quarzadel/App/SystemBus.h"

#include <cstdlib>

namespace quarzadel {

SystemBus openSystemBus(const std::string& address) {
  std::string chosen = address;
  if (chosen.empty())
    if (const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); env && *env) chosen = env;
  sd_bus* bus = nullptr;
  if (chosen.empty()) {
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    return SystemBus(bus);
  }
  if (sd_bus_new(&bus) < 0) return nullptr;
  SystemBus owned(bus);
  if (sd_bus_set_address(bus, chosen.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0)
    return nullptr;
  return owned;
}

}  // namespace quarzadel

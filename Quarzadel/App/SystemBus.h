#pragma once
// A connection to the system's message bus (sd-bus), for the login manager.
#include <memory>
#include <string>

#include <systemd/sd-bus.h>

namespace quarzadel {

struct SystemBusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using SystemBus = std::unique_ptr<sd_bus, SystemBusCloser>;

// The bus at `address`, else at DBUS_SYSTEM_BUS_ADDRESS, else the default
// system bus; none when it cannot be reached.
SystemBus openSystemBus(const std::string& address = {});

}  // namespace quarzadel

#pragma once
// Whether the machine has a usable network path: an interface other than
// loopback that is up with a reachable address (a default route is not
// needed: an ingest may sit on the local subnet), or a default route over an
// interface that is up; and, when the destination's address is known, a route
// to it. start() reports the first verdict and then only changes, on the
// monitor's own thread.
#include <functional>
#include <memory>
#include <string>

namespace platform {

class NetworkPathMonitor {
 public:
  using Handler = std::function<void(bool usable)>;
  virtual ~NetworkPathMonitor() = default;
  virtual void start(Handler handler) = 0;
  // Where the traffic goes. When it is a numeric address the path must also
  // route there over an interface that is up, and an address of this machine
  // counts as reachable without any network; a host name changes nothing.
  // Any thread, before or after start().
  virtual void setDestination(const std::string& host) { (void)host; }
  virtual void cancel() = 0;

  // Links and routes from netlink.
  static std::shared_ptr<NetworkPathMonitor> makeNetlink();
};

}  // namespace platform

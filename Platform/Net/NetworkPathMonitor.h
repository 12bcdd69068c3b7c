#pragma once
// Whether the machine has a usable network path: an interface other than
// loopback that is up with a reachable address (a default route is not
// needed: an ingest may sit on the local subnet), or a default route over an
// interface that is up. start() reports the first verdict and then only
// changes, on the monitor's own thread.
#include <functional>
#include <memory>

namespace platform {

class NetworkPathMonitor {
 public:
  using Handler = std::function<void(bool usable)>;
  virtual ~NetworkPathMonitor() = default;
  virtual void start(Handler handler) = 0;
  virtual void cancel() = 0;

  // Links and routes from netlink.
  static std::shared_ptr<NetworkPathMonitor> makeNetlink();
};

}  // namespace platform

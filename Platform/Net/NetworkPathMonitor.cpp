#include "Platform/Net/NetworkPathMonitor.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

// One request-and-dump exchange on its own socket; calls `each` per message.
template <class F>
bool dump(uint16_t type, F each) {
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    rtgenmsg body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body.rtgen_family = AF_UNSPEC;
  bool ok = ::send(fd, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
  std::vector<char> buffer(1 << 16);
  bool done = !ok;
  while (!done) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      ok = false;
      break;
    }
    int len = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_type == NLMSG_DONE) {
        done = true;
        break;
      }
      if (h->nlmsg_type == NLMSG_ERROR) {
        ok = false;
        done = true;
        break;
      }
      each(h);
    }
  }
  ::close(fd);
  return ok;
}

// A numeric IPv4 or IPv6 address, in network order.
struct Destination {
  unsigned char family = AF_UNSPEC;
  std::array<uint8_t, 16> bytes{};
  size_t length = 0;
};

std::optional<Destination> numericAddress(const std::string& host) {
  Destination d;
  if (::inet_pton(AF_INET, host.c_str(), d.bytes.data()) == 1) {
    d.family = AF_INET;
    d.length = 4;
    return d;
  }
  if (::inet_pton(AF_INET6, host.c_str(), d.bytes.data()) == 1) {
    d.family = AF_INET6;
    d.length = 16;
    return d;
  }
  return std::nullopt;
}

enum class RouteTo { none, thisMachine, overAnUpLink };

// Where the kernel would send a packet for `destination`.
RouteTo routeTo(const Destination& destination, const std::set<int>& up) {
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return RouteTo::none;
  struct {
    nlmsghdr header;
    rtmsg body;
    char attributes[RTA_SPACE(16)];
  } request{};
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.rtm_family = destination.family;
  request.body.rtm_dst_len = static_cast<unsigned char>(destination.length * 8);
  auto* attribute = reinterpret_cast<rtattr*>(request.attributes);
  attribute->rta_type = RTA_DST;
  attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(destination.length));
  std::memcpy(RTA_DATA(attribute), destination.bytes.data(), destination.length);
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.body) + RTA_ALIGN(attribute->rta_len);
  RouteTo route = RouteTo::none;
  std::vector<char> buffer(8192);
  ssize_t n = -1;
  if (::send(fd, &request, request.header.nlmsg_len, 0) == static_cast<ssize_t>(request.header.nlmsg_len))
    n = ::recv(fd, buffer.data(), buffer.size(), 0);
  int len = static_cast<int>(n);
  for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); n > 0 && NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
    if (h->nlmsg_type != RTM_NEWROUTE) continue;
    auto* answer = static_cast<rtmsg*>(NLMSG_DATA(h));
    if (answer->rtm_type == RTN_LOCAL) {
      route = RouteTo::thisMachine;
      break;
    }
    if (answer->rtm_type != RTN_UNICAST) continue;
    int left = static_cast<int>(RTM_PAYLOAD(h));
    for (auto* a = RTM_RTA(answer); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
      int index = 0;
      if (a->rta_type != RTA_OIF) continue;
      std::memcpy(&index, RTA_DATA(a), sizeof index);
      if (up.count(index)) route = RouteTo::overAnUpLink;
    }
  }
  ::close(fd);
  return route;
}

// An interface that is up with its carrier and has an address the network can
// reach (not link- or host-scoped), or a default route over an interface that
// is up. A LAN without a default route still reaches an ingest on its subnet,
// so a missing default route alone is no reason to call the machine offline.
// With a known destination the kernel must also have a route to it over such
// an interface; an ingest on this machine itself is always reachable.
bool usablePath(const std::optional<Destination>& destination) {
  std::set<int> up;
  dump(RTM_GETLINK, [&](nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWLINK) return;
    auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(h));
    if ((info->ifi_flags & IFF_UP) && (info->ifi_flags & IFF_RUNNING) && !(info->ifi_flags & IFF_LOOPBACK))
      up.insert(info->ifi_index);
  });
  if (destination) {
    const RouteTo route = routeTo(*destination, up);
    if (route == RouteTo::thisMachine) return true;
    if (route == RouteTo::none) return false;
  }
  if (up.empty()) return false;
  bool usable = false;
  dump(RTM_GETADDR, [&](nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWADDR || usable) return;
    auto* address = static_cast<ifaddrmsg*>(NLMSG_DATA(h));
    if (address->ifa_family != AF_INET && address->ifa_family != AF_INET6) return;
    // Tentative or duplicate IPv6 addresses cannot be used yet.
    if (address->ifa_flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) return;
    if (address->ifa_scope < RT_SCOPE_LINK && up.count(static_cast<int>(address->ifa_index))) usable = true;
  });
  if (usable) return true;
  dump(RTM_GETROUTE, [&](nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWROUTE || usable) return;
    auto* route = static_cast<rtmsg*>(NLMSG_DATA(h));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
    if (route->rtm_family != AF_INET && route->rtm_family != AF_INET6) return;
    int len = static_cast<int>(RTM_PAYLOAD(h));
    for (auto* a = RTM_RTA(route); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
      if (a->rta_type == RTA_OIF) {
        int index = 0;
        std::memcpy(&index, RTA_DATA(a), sizeof index);
        if (up.count(index)) usable = true;
      } else if (a->rta_type == RTA_MULTIPATH) {
        auto* hop = static_cast<rtnexthop*>(RTA_DATA(a));
        int left = static_cast<int>(RTA_PAYLOAD(a));
        while (RTNH_OK(hop, left)) {
          if (up.count(hop->rtnh_ifindex)) usable = true;
          left -= NLMSG_ALIGN(hop->rtnh_len);
          hop = RTNH_NEXT(hop);
        }
      }
    }
  });
  return usable;
}

class NetlinkPathMonitor final : public NetworkPathMonitor {
 public:
  ~NetlinkPathMonitor() override { cancel(); }

  void start(Handler handler) override {
    std::lock_guard guard(lock_);
    if (thread_.joinable()) return;
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this, handler = std::move(handler)] { watch(handler); });
  }

  void setDestination(const std::string& host) override {
    std::lock_guard guard(lock_);
    destination_ = numericAddress(host);
    if (!thread_.joinable()) return;
    char look = kLookAgain;
    (void)!::write(wake_[1], &look, 1);
  }

  void cancel() override {
    std::thread thread;
    {
      std::lock_guard guard(lock_);
      if (!thread_.joinable()) return;
      char byte = kEnd;
      (void)!::write(wake_[1], &byte, 1);
      thread = std::move(thread_);
    }
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

 private:
  void watch(const Handler& handler) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      fd = -1;
    }
    std::optional<bool> last;
    std::vector<char> buffer(1 << 16);
    for (;;) {
      std::optional<Destination> destination;
      {
        std::lock_guard guard(lock_);
        destination = destination_;
      }
      bool usable = usablePath(destination);
      if (last != usable) {
        last = usable;
        handler(usable);
      }
      pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd, POLLIN, 0}};
      // Without the event socket, look again every few seconds.
      int ready = ::poll(fds, fd >= 0 ? 2 : 1, fd >= 0 ? -1 : 2000);
      if (ready < 0 && errno != EINTR) break;
      if (fds[0].revents) {
        char bytes[16];
        const ssize_t n = ::read(wake_[0], bytes, sizeof bytes);
        if (n <= 0 || std::find(bytes, bytes + n, kEnd) != bytes + n) break;
      }
      if (fd >= 0 && (fds[1].revents & POLLIN)) (void)::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    }
    if (fd >= 0) ::close(fd);
  }

  // What the wake pipe carries.
  static constexpr char kEnd = 0;
  static constexpr char kLookAgain = 1;

  std::mutex lock_;
  std::thread thread_;
  int wake_[2] = {-1, -1};
  std::optional<Destination> destination_;
};

}  // namespace

std::shared_ptr<NetworkPathMonitor> NetworkPathMonitor::makeNetlink() { return std::make_shared<NetlinkPathMonitor>(); }

}  // namespace platform

// A point-to-point link between two network namespaces that holds every
// packet for a fixed time each way and, if asked, paces one way to a rate:
// a TUN device in each namespace, this process forwarding between them. For
// tests of long round trips where the kernel has no delaying queue discipline.
//
//   linkdelay NS_A DEV_A NS_B DEV_B DELAY_MS [A_TO_B_KBIT [SECONDS]]
//
// Prints "ready" once both devices exist (the caller gives them addresses and
// brings them up); ends on SIGTERM or SIGINT, or after SECONDS (default 300).
// The devices go with the process. A_TO_B_KBIT 0 means no pacing. Paced
// packets that would wait more than 400 ms are dropped, as a router's queue would.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stopping = 0;

// A TUN device named `dev` made inside the namespace `ns`; the caller's namespace is kept.
int openTun(const std::string& ns, const std::string& dev) {
  const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (home < 0 || there < 0 || ::setns(there, CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "cannot enter namespace %s: %s\n", ns.c_str(), std::strerror(errno));
    return -1;
  }
  int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::snprintf(request.ifr_name, IFNAMSIZ, "%s", dev.c_str());
  if (fd < 0 || ::ioctl(fd, TUNSETIFF, &request) != 0) {
    std::fprintf(stderr, "cannot make %s in %s: %s\n", dev.c_str(), ns.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (::setns(home, CLONE_NEWNET) != 0) fd = -1;
  ::close(home);
  ::close(there);
  return fd;
}

struct Packet {
  Clock::time_point due;
  std::vector<unsigned char> bytes;
};

// One way: packets read from one device wait their turn, then go to the other.
struct Direction {
  int from = -1, to = -1;
  Clock::duration delay{};
  double bytesPerSecond = 0;  // 0: unpaced
  Clock::time_point linkFreeAt{};
  std::deque<Packet> held;

  void take(Clock::time_point now) {
    unsigned char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(from, buffer, sizeof buffer);
      if (n <= 0) return;
      Clock::time_point sentAt = now;
      if (bytesPerSecond > 0) {
        const auto start = std::max(now, linkFreeAt);
        if (start - now > std::chrono::milliseconds(400)) continue;  // the queue is full: dropped
        linkFreeAt = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(static_cast<double>(n) / bytesPerSecond));
        sentAt = linkFreeAt;
      }
      held.push_back({sentAt + delay, std::vector<unsigned char>(buffer, buffer + n)});
    }
  }
  void release(Clock::time_point now) {
    while (!held.empty() && held.front().due <= now) {
      (void)::write(to, held.front().bytes.data(), held.front().bytes.size());
      held.pop_front();
    }
  }
  int millisecondsToNext(Clock::time_point now) const {
    if (held.empty()) return 50;
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(held.front().due - now).count();
    return wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s NS_A DEV_A NS_B DEV_B DELAY_MS [A_TO_B_KBIT [SECONDS]]\n", argv[0]);
    return 2;
  }
  const auto delay = std::chrono::milliseconds(std::atoi(argv[5]));
  const double kbit = argc > 6 ? std::atof(argv[6]) : 0;
  const int lifetime = argc > 7 ? std::atoi(argv[7]) : 300;
  const int a = openTun(argv[1], argv[2]);
  const int b = openTun(argv[3], argv[4]);
  if (a < 0 || b < 0) return 1;
  struct sigaction action {};
  action.sa_handler = [](int) { stopping = 1; };
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  std::printf("ready\n");
  std::fflush(stdout);

  Direction ab{a, b, delay, kbit * 1000 / 8};
  Direction ba{b, a, delay, 0};
  const auto end = Clock::now() + std::chrono::seconds(lifetime);
  while (!stopping && Clock::now() < end) {
    const auto now = Clock::now();
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    ::poll(fds, 2, std::min(ab.millisecondsToNext(now), ba.millisecondsToNext(now)));
    const auto after = Clock::now();
    if (fds[0].revents & POLLIN) ab.take(after);
    if (fds[1].revents & POLLIN) ba.take(after);
    ab.release(after);
    ba.release(after);
  }
  return 0;
}

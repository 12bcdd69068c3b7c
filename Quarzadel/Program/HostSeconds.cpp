#include "Quarzadel/Program/HostSeconds.h"

namespace quarzadel {

double hostSeconds(const platform::MediaTime& time, const platform::Clock* clock, const platform::Clock& host) {
  if (!time.isValid()) return host.nowSeconds();
  if (clock == nullptr || clock == &host) return time.seconds();
  // Both clocks tick in nanoseconds at the same rate; their offset, read now, maps
  // one onto the other.
  const platform::Nanos offset = host.now() - clock->now();
  return time.seconds() + platform::toSeconds(offset);
}

}  // namespace quarzadel

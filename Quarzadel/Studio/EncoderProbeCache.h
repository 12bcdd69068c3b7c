#pragma once
// A probe's answers kept per codec and picture size: the answer does not
// change while the program runs, and asking can take long. Callable from any
// thread; a caller that asks while the same question is being answered waits
// for that answer instead of asking again.
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "Quarzadel/Studio/EncoderProbe.h"

namespace quarzadel {

class EncoderProbeCache : public std::enable_shared_from_this<EncoderProbeCache> {
 public:
  explicit EncoderProbeCache(EncoderProbe probe) : probe_(std::move(probe)) {}

  EncoderSupport operator()(StreamConfig::VideoCodec codec, int width, int height);
  // The cache as a probe (it keeps the cache alive).
  EncoderProbe probe();

 private:
  using Key = std::tuple<StreamConfig::VideoCodec, int, int>;
  EncoderProbe probe_;
  std::mutex mutex_;
  std::map<Key, std::shared_future<EncoderSupport>> answers_;
};

}  // namespace quarzadel

#include "Quarzadel/Studio/EncoderProbeCache.h"

namespace quarzadel {

EncoderSupport EncoderProbeCache::operator()(StreamConfig::VideoCodec codec, int width, int height) {
  std::promise<EncoderSupport> promise;
  std::shared_future<EncoderSupport> answer;
  {
    std::lock_guard lock(mutex_);
    auto [it, asking] = answers_.try_emplace(Key{codec, width, height});
    if (!asking) {
      answer = it->second;
    } else {
      it->second = promise.get_future().share();
    }
  }
  if (answer.valid()) return answer.get();
  EncoderSupport support;
  try {
    support = probe_(codec, width, height);
  } catch (...) {
    // A probe that fails says no, now and later.
  }
  promise.set_value(support);
  return support;
}

EncoderProbe EncoderProbeCache::probe() {
  return [self = shared_from_this()](StreamConfig::VideoCodec codec, int width, int height) {
    return (*self)(codec, width, height);
  };
}

}  // namespace quarzadel

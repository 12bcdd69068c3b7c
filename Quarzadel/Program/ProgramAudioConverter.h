#pragma once
// Brings every source buffer into the program sound's format (48 kHz stereo
// float, planar). 48 kHz planar float, the sources' normal format, is copied
// directly (a mono input feeds both channels); anything else goes through one
// cached rate converter, kept across buffers of the same format so its filter
// state carries over.
#include <memory>
#include <optional>

#include "Platform/Media/AudioConverter.h"
#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"

namespace quarzadel {

class ProgramAudioConverter {
 public:
  explicit ProgramAudioConverter(platform::AudioFormat outputFormat);

  // The buffer in the output format, or nullptr when it can't be converted (a
  // format no converter handles stays refused until the input format changes).
  platform::PCMBufferRef convert(const platform::PCMBufferRef& input);

  // True while a converter (not the direct copy) serves the current format.
  bool hasConverter() const { return converter_ != nullptr; }
  const std::optional<platform::AudioFormat>& converterFormat() const { return converterFormat_; }

 private:
  platform::PCMBufferRef copyDirect(const platform::PCMBuffer& input) const;

  platform::AudioFormat outputFormat_;
  std::unique_ptr<platform::AudioConverter> converter_;
  std::optional<platform::AudioFormat> converterFormat_;
};

}  // namespace quarzadel

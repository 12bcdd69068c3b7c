#pragma once
// The 7-byte ADTS frame header in front of each raw AAC packet of an ADTS stream.
#include <cstdint>
#include <span>

#include "Medley/Sources/Extension/Data.h"
#include "Medley/Sources/ISO/DataConvertible.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/FormatDescription.h"

namespace medley {

struct ADTSHeader final : DataConvertible {
  static constexpr size_t size = 7;

  uint8_t sync = 0xFF;
  uint8_t id = 0;
  uint8_t layer = 0;
  bool protectionAbsent = false;
  uint8_t profile = 0;
  uint8_t sampleFrequencyIndex = 0;
  uint8_t channelConfiguration = 0;
  bool originalOrCopy = false;
  bool home = false;
  bool copyrightIdBit = false;
  bool copyrightIdStart = false;
  uint16_t aacFrameLength = 0;
  uint16_t bufferFullness = 0;
  uint8_t aacFrames = 0;

  ADTSHeader() = default;
  explicit ADTSHeader(std::span<const uint8_t> bytes) { parse(bytes); }

  // Reading gives no bytes: the header is only ever written by AudioSpecificConfig.
  Data data() const override { return {}; }
  // Fewer than seven bytes leave every field unchanged.
  void setData(const Data& bytes) override { parse(bytes); }
  void parse(std::span<const uint8_t> bytes);

  // An AAC description of the stream; none for an unknown object type,
  // frequency index or channel configuration.
  platform::FormatDescriptionRef makeFormatDescription() const;

  friend bool operator==(const ADTSHeader& a, const ADTSHeader& b);
};

// Writes the ADTS header for the buffer's byteLength and then its bytes into
// `destination`. False (nothing written) when the buffer's format gives no AAC
// configuration or the destination holds fewer than 7 + byteLength bytes.
bool encodeADTS(const platform::CompressedAudioBuffer& buffer, std::span<uint8_t> destination);

}  // namespace medley

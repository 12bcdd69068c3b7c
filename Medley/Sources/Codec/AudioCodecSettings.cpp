#include "Medley/Sources/Codec/AudioCodecSettings.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "Medley/Sources/Codec/AudioCodecConverter.h"
#include "Medley/Sources/ISO/AACAudioConfig.h"

namespace medley {

namespace {

constexpr std::array<double, 5> kOpusRates{8000, 12000, 16000, 24000, 48000};

}  // namespace

const std::vector<AudioCodecFormat>& allAudioCodecFormats() {
  static const std::vector<AudioCodecFormat> all{AudioCodecFormat::aac, AudioCodecFormat::opus, AudioCodecFormat::pcm};
  return all;
}

std::string_view rawValue(AudioCodecFormat format) {
  switch (format) {
    case AudioCodecFormat::aac: return "aac";
    case AudioCodecFormat::opus: return "opus";
    case AudioCodecFormat::pcm: return "pcm";
  }
  return "aac";
}

std::optional<AudioCodecFormat> audioCodecFormat(std::string_view raw) {
  for (auto f : allAudioCodecFormats())
    if (rawValue(f) == raw) return f;
  return std::nullopt;
}

platform::FourCC formatID(AudioCodecFormat format) {
  switch (format) {
    case AudioCodecFormat::aac: return platform::audioFormatID::mpeg4AAC;
    case AudioCodecFormat::opus: return platform::audioFormatID::opus;
    case AudioCodecFormat::pcm: return platform::audioFormatID::linearPCM;
  }
  return 0;
}

double makeSampleRate(AudioCodecFormat format, double input, double output) {
  const double rate = output != 0 ? output : input;
  if (format != AudioCodecFormat::opus) return rate;
  // The first candidate at the least distance wins, so ties go to the lower rate.
  double best = kOpusRates[0];
  for (double candidate : kOpusRates) {
    if ((candidate - rate) * (candidate - rate) < (best - rate) * (best - rate)) best = candidate;
  }
  return best;
}

std::optional<platform::AudioFormat> makeOutputFormat(AudioCodecFormat format, const platform::AudioFormat& input,
                                                      double sampleRate,
                                                      const std::optional<std::vector<int>>& channelMap) {
  const uint32_t channels = channelMap ? static_cast<uint32_t>(channelMap->size()) : input.channelCount();
  const double rate = makeSampleRate(format, input.sampleRate(), sampleRate);
  const auto configuration = channelConfigurationFromCount(channels);

  platform::AudioStreamBasicDescription asbd;
  asbd.sampleRate = rate;
  asbd.formatID = formatID(format);
  switch (format) {
    case AudioCodecFormat::aac:
      asbd.formatFlags = 2;  // AAC low complexity
      asbd.framesPerPacket = 1024;
      break;
    case AudioCodecFormat::opus:
      asbd.framesPerPacket = static_cast<uint32_t>(rate * 0.02);
      break;
    case AudioCodecFormat::pcm:
      asbd.formatFlags = platform::audioFormatFlags::isFloat | platform::audioFormatFlags::isPacked |
                         platform::audioFormatFlags::isNonInterleaved;
      asbd.bytesPerPacket = 4;
      asbd.framesPerPacket = 1;
      asbd.bytesPerFrame = 4;
      asbd.bitsPerChannel = 32;
      break;
  }
  asbd.channelsPerFrame =
      std::min(AudioCodecSettings::kMaximumNumberOfChannels,
               configuration ? channelCount(*configuration) : input.channelCount());
  const auto layout = configuration ? channelLayoutTag(*configuration) : std::nullopt;
  return platform::AudioFormat::fromStreamDescription(asbd, layout);
}

bool AudioCodecSettings::invalidateConverter(const AudioCodecSettings& other) const {
  return format != other.format || channelMap != other.channelMap;
}

void AudioCodecSettings::apply(AudioCodecConverter* converter, const std::optional<AudioCodecSettings>& oldValue) const {
  if (converter == nullptr) return;
  if (!oldValue || bitRate != oldValue->bitRate) {
    const auto rates = converter->applicableEncodeBitRates();
    int low = bitRate;
    int high = bitRate;
    if (!rates.empty()) {
      low = *std::min_element(rates.begin(), rates.end());
      high = *std::max_element(rates.begin(), rates.end());
    }
    converter->setBitRate(std::min(high, std::max(low, bitRate)));
  }
  if (!oldValue || downmix != oldValue->downmix) converter->setDownmix(downmix);
  const std::optional<std::vector<int>> oldMap = oldValue ? oldValue->channelMap : std::nullopt;
  if (channelMap != oldMap) {
    if (auto map = makeChannelMap(*converter)) converter->setChannelMap(*map);
  }
}

std::optional<std::vector<int>> AudioCodecSettings::makeChannelMap(const AudioCodecConverter& converter) const {
  if (!channelMap) return std::nullopt;
  if (channelMap->size() != converter.outputFormat().channelCount()) return std::nullopt;
  if (channelMap->empty()) return std::vector<int>{};
  const auto inputs = static_cast<int>(converter.inputFormat().channelCount());
  for (int entry : *channelMap)
    if (entry >= inputs) return std::nullopt;
  return channelMap;
}

nlohmann::json AudioCodecSettings::toJSON() const {
  nlohmann::json json;
  to_json(json, *this);
  return json;
}

std::optional<AudioCodecSettings> AudioCodecSettings::fromJSON(const nlohmann::json& json) {
  try {
    AudioCodecSettings settings;
    from_json(json, settings);
    return settings;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void to_json(nlohmann::json& json, const AudioCodecSettings& s) {
  json = nlohmann::json::object();
  json["bitRate"] = s.bitRate;
  json["downmix"] = s.downmix;
  if (s.channelMap) json["channelMap"] = *s.channelMap;
  json["sampleRate"] = s.sampleRate;
  json["format"] = std::string(rawValue(s.format));
}

void from_json(const nlohmann::json& json, AudioCodecSettings& s) {
  if (!json.is_object()) throw std::invalid_argument("audio codec settings: not an object");
  const auto& bitRate = json.at("bitRate");
  const auto& downmix = json.at("downmix");
  const auto& sampleRate = json.at("sampleRate");
  const auto& format = json.at("format");
  if (!bitRate.is_number_integer() || !downmix.is_boolean() || !sampleRate.is_number() || !format.is_string())
    throw std::invalid_argument("audio codec settings: a value of the wrong type");
  const auto parsedFormat = audioCodecFormat(format.get<std::string>());
  if (!parsedFormat) throw std::invalid_argument("audio codec settings: unknown format");
  std::optional<std::vector<int>> channelMap;
  if (auto it = json.find("channelMap"); it != json.end() && !it->is_null()) {
    if (!it->is_array()) throw std::invalid_argument("audio codec settings: channelMap is not an array");
    std::vector<int> map;
    for (const auto& entry : *it) {
      if (!entry.is_number_integer()) throw std::invalid_argument("audio codec settings: channelMap entry");
      map.push_back(entry.get<int>());
    }
    channelMap = std::move(map);
  }
  const int64_t rate = bitRate.get<int64_t>();
  if (rate < INT32_MIN || rate > INT32_MAX) throw std::invalid_argument("audio codec settings: bitRate out of range");
  s = AudioCodecSettings(static_cast<int>(rate), downmix.get<bool>(), std::move(channelMap), sampleRate.get<double>(),
                         *parsedFormat);
}

}  // namespace medley

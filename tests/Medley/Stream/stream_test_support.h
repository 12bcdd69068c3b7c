#pragma once
// A stream with the shared behaviour, recording what reaches it.
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Medley/Sources/Stream/StreamBase.h"
#include "Medley/Sources/Stream/StreamBitRateStrategy.h"
#include "Medley/Sources/Stream/StreamOutput.h"
#include "Medley/Util/virtual_run.h"

namespace medleytest {

using platform::Async;

struct SettingsRefused : std::runtime_error {
  SettingsRefused() : std::runtime_error("settings refused") {}
};

class FakeStream final : public medley::StreamBase {
 public:
  explicit FakeStream(std::shared_ptr<platform::Runtime> rt) : StreamBase("fake-stream", std::move(rt)) {}

  Async<medley::StreamReadyState> readyState() override {
    co_await hop();
    co_return medley::StreamReadyState::idle;
  }
  Async<void> setAudioSettings(medley::AudioCodecSettings settings) override {
    co_await hop();
    outgoing_.setAudioSettings(settings);
  }
  Async<void> setVideoSettings(medley::VideoCodecSettings settings) override {
    co_await hop();
    ++videoSettingsCalls;
    if (refuseSettings) throw SettingsRefused();
    outgoing_.setVideoSettings(settings);
  }
  Async<void> append(platform::SampleBufferRef sampleBuffer) override {
    co_await hop();
    outgoing_.append(sampleBuffer);
  }
  Async<void> append(platform::AudioBufferRef buffer, platform::AudioTime when) override {
    co_await hop();
    outgoing_.append(buffer, when);
  }
  // Hands the event to the strategy, as a publishing stream does.
  Async<void> dispatch(medley::NetworkMonitorEvent event) override {
    co_await hop();
    if (auto strategy = bitRateStrategy_) co_await strategy->adjustBitRate(event, shared_from_this());
  }

  Async<std::optional<uint8_t>> videoTrackId() override {
    co_await hop();
    co_return tracks.videoTrackId;
  }
  Async<std::optional<uint8_t>> audioTrackId() override {
    co_await hop();
    co_return tracks.audioTrackId;
  }
  void mixer(medley::MediaMixer&, const platform::SampleBufferRef&) override {}
  void mixer(medley::MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override {}
  Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override {
    co_await hop();
    tracks.select(id, mediaType);
  }

  // On the stream's queue (or from a test on virtual time).
  const std::vector<std::shared_ptr<medley::StreamOutput>>& outputs() const { return outputs_; }
  const std::shared_ptr<medley::StreamBitRateStrategy>& bitRateStrategy() const { return bitRateStrategy_; }
  medley::OutgoingStream& outgoingStream() { return outgoing_; }

  bool refuseSettings = false;
  int videoSettingsCalls = 0;
  medley::MediaMixerTrackSelection tracks;

 protected:
  std::shared_ptr<medley::StreamPlayback> incoming() override { return nullptr; }
  medley::OutgoingStream& outgoing() override { return outgoing_; }

 private:
  medley::OutgoingStream outgoing_;
};

class NullOutput final : public medley::StreamOutput {
 public:
  void stream(medley::StreamConvertible&, const platform::AudioBufferRef&, const platform::AudioTime&) override {}
  void stream(medley::StreamConvertible&, const platform::SampleBufferRef&) override {}
};

}  // namespace medleytest

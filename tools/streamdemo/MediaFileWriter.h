#pragma once
// Writes encoded video (length-prefixed H.264 or HEVC sample buffers with
// avcC/hvcC) and encoded AAC packets into a container through libavformat:
// FLV or MP4, chosen from the file name. The header goes out once the first
// packet of each stream has brought its decoder configuration; packets that
// arrive before wait for it. Timestamps are made relative to `origin`.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/MediaTime.h"

struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace streamdemo {

class MediaFileWriter {
 public:
  // Throws std::runtime_error when the container cannot be made.
  MediaFileWriter(std::string path, platform::MediaTime origin, int framesPerSecond);
  ~MediaFileWriter();
  MediaFileWriter(const MediaFileWriter&) = delete;
  MediaFileWriter& operator=(const MediaFileWriter&) = delete;

  // Throw std::runtime_error when libavformat refuses.
  void writeVideo(const platform::SampleBufferRef& sampleBuffer);
  void writeAudio(const medley::AudioCodec::Output& output);
  // Flushes and closes the file; packets written so far stay.
  void finish();

  int64_t videoPackets() const { return videoPackets_; }
  int64_t audioPackets() const { return audioPackets_; }

 private:
  struct PacketDeleter {
    void operator()(AVPacket* packet) const;
  };
  using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

  void addVideoStream(const platform::FormatDescription& format);
  void addAudioStream(const platform::AudioFormat& format);
  void writeHeaderWhenReady();
  void write(PacketPtr packet, AVStream* stream, const platform::MediaTime& pts, const platform::MediaTime& dts,
             const platform::MediaTime& duration);
  int64_t streamTime(const platform::MediaTime& time, AVStream* stream) const;

  std::string path_;
  platform::MediaTime origin_;
  int framesPerSecond_;
  AVFormatContext* context_ = nullptr;
  AVStream* video_ = nullptr;
  AVStream* audio_ = nullptr;
  bool headerWritten_ = false;
  bool finished_ = false;
  struct Pending {
    PacketPtr packet;
    AVStream* stream;
    platform::MediaTime pts, dts, duration;
  };
  std::vector<Pending> pending_;
  int64_t videoPackets_ = 0;
  int64_t audioPackets_ = 0;
};

}  // namespace streamdemo

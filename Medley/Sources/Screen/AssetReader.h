#pragma once
// Reads the decoded pictures of a movie file's first video track, in
// presentation order, through libavformat and libavcodec. A cancelled reader
// never reads again.
#include <memory>
#include <stdexcept>
#include <string>

#include "Platform/Media/SampleBuffer.h"

namespace medley {

class AssetReaderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AssetReader {
 public:
  enum class Status { unknown, reading, completed, failed, cancelled };

  // Opens the file and its first video track's decoder; throws AssetReaderError.
  static std::shared_ptr<AssetReader> make(const std::string& path);
  ~AssetReader();

  bool hasVideoTrack() const;
  Status status() const { return status_; }
  void startReading();
  // Stops for good: later reads give nothing and touch neither file nor decoder.
  void cancelReading();
  // The next picture (bi-planar 4:2:0) timed from the track's start; none at
  // the end, after a failure or when not reading.
  platform::SampleBufferRef copyNextSampleBuffer();
  // Packets taken from the file so far.
  long packetsRead() const { return packetsRead_; }

 private:
  struct Impl;
  explicit AssetReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  Status status_ = Status::unknown;
  long packetsRead_ = 0;
};

}  // namespace medley

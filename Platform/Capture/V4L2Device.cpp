#include "Platform/Capture/V4L2Device.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/Capture/V4L2FormatList.h"
#include "Platform/Time/HostClock.h"

namespace platform {

namespace {

bool sameRate(const FrameDuration& a, const FrameDuration& b) {
  return uint64_t(a.numerator) * b.denominator == uint64_t(b.numerator) * a.denominator;
}

YCbCrMatrix matrixOf(const v4l2_pix_format& f) {
  uint32_t enc = f.ycbcr_enc;
  if (enc == V4L2_YCBCR_ENC_DEFAULT) enc = V4L2_MAP_YCBCR_ENC_DEFAULT(f.colorspace);
  switch (enc) {
    case V4L2_YCBCR_ENC_709:
    case V4L2_YCBCR_ENC_XV709:
      return YCbCrMatrix::itu_r_709_2;
    case V4L2_YCBCR_ENC_BT2020:
    case V4L2_YCBCR_ENC_BT2020_CONST_LUM:
      return YCbCrMatrix::itu_r_2020;
    case V4L2_YCBCR_ENC_SMPTE240M:
      return YCbCrMatrix::smpte_240m_1995;
    default:
      return YCbCrMatrix::itu_r_601_4;
  }
}

bool isFullRange(const v4l2_pix_format& f) {
  if (f.quantization == V4L2_QUANTIZATION_FULL_RANGE) return true;
  if (f.quantization == V4L2_QUANTIZATION_LIM_RANGE) return false;
  // The default range of YCbCr encodings is limited, except for JPEG's colour space.
  return f.colorspace == V4L2_COLORSPACE_JPEG;
}

}  // namespace

VideoCaptureError VideoCaptureError::fromErrno(int code) {
  return VideoCaptureError(kindOf(code), code, std::strerror(code));
}

VideoCaptureError::Kind VideoCaptureError::kindOf(int code) {
  switch (code) {
    case EACCES:
    case EPERM:
      return Kind::permissionDenied;
    case EBUSY:
      return Kind::busy;
    case ENODEV:
    case ENOENT:
    case ENXIO:
      return Kind::disconnected;
    default:
      return Kind::other;
  }
}

V4L2Device::V4L2Device(VideoCaptureDeviceInfo info) : info_(std::move(info)) {}

V4L2Device::~V4L2Device() { close(); }

int V4L2Device::xioctl(unsigned long request, void* arg) const {
  int r;
  do r = ::ioctl(fd_, request, arg);
  while (r < 0 && errno == EINTR);
  return r < 0 ? -errno : 0;
}

void V4L2Device::open() {
  std::lock_guard control(controlMutex_);
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) return;
  const int fd = ::open(info_.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw VideoCaptureError::fromErrno(errno);
  fd_ = fd;
  v4l2_capability cap{};
  if (int rc = xioctl(VIDIOC_QUERYCAP, &cap); rc != 0) {
    ::close(fd_);
    fd_ = -1;
    throw VideoCaptureError::fromErrno(-rc);
  }
  const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) {
    ::close(fd_);
    fd_ = -1;
    throw VideoCaptureError(VideoCaptureError::Kind::noUsableFormat, 0, "not a streaming capture device");
  }
  formats_ = enumerateV4L2Formats([this](unsigned long req, void* arg) { return xioctl(req, arg); },
                                  CaptureFrameConverter::canConvert);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  readActiveLocked();
}

void V4L2Device::readActiveLocked() {
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  active_.reset();
  if (xioctl(VIDIOC_G_FMT, &fmt) == 0) {
    const auto& p = fmt.fmt.pix;
    layout_ = {p.pixelformat, int(p.width), int(p.height), p.bytesperline, matrixOf(p), isFullRange(p)};
    for (size_t i = 0; i < formats_.size(); ++i)
      if (formats_[i].pixelFormat == p.pixelformat && formats_[i].width == int(p.width) &&
          formats_[i].height == int(p.height)) {
        active_ = i;
        break;
      }
  }
  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  duration_ = {};
  if (xioctl(VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
    duration_ = {parm.parm.capture.timeperframe.numerator, parm.parm.capture.timeperframe.denominator};
}

std::vector<VideoCaptureFormat> V4L2Device::formats() const {
  std::lock_guard lock(mutex_);
  return formats_;
}

std::optional<size_t> V4L2Device::activeFormatIndex() const {
  std::lock_guard lock(mutex_);
  return active_;
}

FrameDuration V4L2Device::activeMinFrameDuration() const {
  std::lock_guard lock(mutex_);
  return duration_;
}

void V4L2Device::configure(size_t index, std::optional<FrameDuration> minFrameDuration) {
  std::lock_guard control(controlMutex_);
  std::unique_lock lock(mutex_);
  if (fd_ < 0) throw VideoCaptureError(VideoCaptureError::Kind::other, EBADF, "the device is not open");
  if (index >= formats_.size()) throw VideoCaptureError(VideoCaptureError::Kind::other, EINVAL, "no such format");
  const bool changeFormat = active_ != index;
  // 100/3000 and 1/30 are one rate: asking again would only pause the stream.
  // A new format is always asked for its rate, since drivers may reset it there.
  const bool changeRate = minFrameDuration && minFrameDuration->isValid() &&
                          (changeFormat || !duration_.isValid() || !sameRate(*minFrameDuration, duration_));
  if (!changeFormat && !changeRate) return;
  // The driver refuses both changes while buffers exist: streaming pauses around
  // them, and the thread with it. A poll() that reaches a device without buffers
  // starts the driver's own read() streaming, after which REQBUFS and S_FMT are
  // refused as busy.
  const bool wasStreaming = streamOn_;
  const bool parked = wasStreaming && parkThreadLocked(lock);
  if (wasStreaming) releaseLocked();
  int rc = 0;
  if (changeFormat) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.pixelformat = formats_[index].pixelFormat;
    fmt.fmt.pix.width = static_cast<uint32_t>(formats_[index].width);
    fmt.fmt.pix.height = static_cast<uint32_t>(formats_[index].height);
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    rc = xioctl(VIDIOC_S_FMT, &fmt);
  }
  if (rc == 0 && changeRate) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe = {minFrameDuration->numerator, minFrameDuration->denominator};
    // A driver without frame-rate control keeps its rate; that is no refusal.
    const int prc = xioctl(VIDIOC_S_PARM, &parm);
    if (prc != 0 && prc != -ENOTTY && prc != -EINVAL) rc = prc;
  }
  readActiveLocked();
  // Only a thread still there streams again: one that ended by itself during
  // the park has told its end, and buffers without it would hold the device
  // busy for every later start.
  if (wasStreaming && running_ && !threadEnded_) {
    try {
      allocateLocked();
    } catch (VideoCaptureError& e) {
      // The stream is over: the thread, resumed, tells it once and ends.
      e.streamEnded = true;
      restartFailure_ = e;
      if (parked) resumeThreadLocked();
      throw;
    }
  }
  if (parked) resumeThreadLocked();
  if (rc != 0) throw VideoCaptureError::fromErrno(-rc);
}

bool V4L2Device::parkThreadLocked(std::unique_lock<std::mutex>& lock) {
  if (threadEnded_ || !thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return false;
  ++parkRequests_;
  if (wake_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  }
  streamingChanged_.wait(lock, [this] { return parked_ || threadEnded_; });
  return true;
}

void V4L2Device::resumeThreadLocked() {
  --parkRequests_;
  streamingChanged_.notify_all();
}

void V4L2Device::drainWake() {
  uint64_t count = 0;
  if (wake_ >= 0) [[maybe_unused]] ssize_t n = ::read(wake_, &count, sizeof count);
}

void V4L2Device::reapEndedThreadLocked() {
  if (thread_.joinable()) {
    // Past threadEnded_ it only tells its end, which never waits for the device.
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
  releaseLocked();
  running_ = false;
}

void V4L2Device::allocateLocked() {
  v4l2_requestbuffers req{};
  req.count = kBufferCount;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (int rc = xioctl(VIDIOC_REQBUFS, &req); rc != 0) throw VideoCaptureError::fromErrno(-rc);
  if (req.count == 0) throw VideoCaptureError(VideoCaptureError::Kind::other, ENOMEM, "no capture buffers");
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    int rc = xioctl(VIDIOC_QUERYBUF, &buf);
    void* start = rc == 0 ? ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buf.m.offset)
                          : MAP_FAILED;
    if (start == MAP_FAILED) {
      const int code = rc != 0 ? -rc : errno;
      releaseLocked();
      throw VideoCaptureError::fromErrno(code);
    }
    buffers_.push_back({start, buf.length});
    if ((rc = xioctl(VIDIOC_QBUF, &buf)) != 0) {
      releaseLocked();
      throw VideoCaptureError::fromErrno(-rc);
    }
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (int rc = xioctl(VIDIOC_STREAMON, &type); rc != 0) {
    releaseLocked();
    throw VideoCaptureError::fromErrno(-rc);
  }
  streamOn_ = true;
}

void V4L2Device::releaseLocked() {
  if (fd_ < 0) return;
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (streamOn_) xioctl(VIDIOC_STREAMOFF, &type);
  streamOn_ = false;
  for (const Mapping& m : buffers_) ::munmap(m.start, m.length);
  if (!buffers_.empty()) {
    v4l2_requestbuffers req{};
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    xioctl(VIDIOC_REQBUFS, &req);
  }
  buffers_.clear();
}

void V4L2Device::startStreaming(FrameHandler onFrame, EventHandler onEvent) {
  std::lock_guard control(controlMutex_);
  std::lock_guard lock(mutex_);
  if (fd_ < 0) throw VideoCaptureError(VideoCaptureError::Kind::other, EBADF, "the device is not open");
  if (running_ && !threadEnded_) return;
  // A stream that ended by itself (an error, a failed restart) starts afresh.
  if (running_) reapEndedThreadLocked();
  if (!CaptureFrameConverter::canConvert(layout_.pixelFormat))
    throw VideoCaptureError(VideoCaptureError::Kind::noUsableFormat, 0, "no format that can be converted");
  allocateLocked();
  // Privacy changes arrive as control events; drivers without the control refuse quietly.
  v4l2_event_subscription sub{};
  sub.type = V4L2_EVENT_CTRL;
  sub.id = V4L2_CID_PRIVACY;
  xioctl(VIDIOC_SUBSCRIBE_EVENT, &sub);
  // A wake left by the last stop would make every poll return at once.
  drainWake();
  onFrame_ = std::move(onFrame);
  onEvent_ = std::move(onEvent);
  restartFailure_.reset();
  running_ = true;
  threadEnded_ = false;
  thread_ = std::thread([this] { run(); });
}

void V4L2Device::stopStreaming() {
  std::lock_guard control(controlMutex_);
  stopControlled();
}

void V4L2Device::stopControlled() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    if (wake_ >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    }
    streamingChanged_.notify_all();
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  std::lock_guard lock(mutex_);
  releaseLocked();
  onFrame_ = nullptr;
  onEvent_ = nullptr;
}

void V4L2Device::close() {
  std::lock_guard control(controlMutex_);
  stopControlled();
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  if (wake_ >= 0) ::close(wake_);
  fd_ = wake_ = -1;
}

std::optional<bool> V4L2Device::readPrivacy(int fd) {
  v4l2_control ctrl{};
  ctrl.id = V4L2_CID_PRIVACY;
  if (::ioctl(fd, VIDIOC_G_CTRL, &ctrl) != 0) return std::nullopt;
  return ctrl.value != 0;
}

void V4L2Device::reportPrivacy(std::optional<VideoCaptureEvent>& event) {
  v4l2_event ev{};
  while (xioctl(VIDIOC_DQEVENT, &ev) == 0)
    if (ev.type == V4L2_EVENT_CTRL && ev.id == V4L2_CID_PRIVACY && ev.u.ctrl.value != 0)
      event = VideoCaptureEvent{VideoCaptureEvent::Kind::interrupted, "privacy control on"};
}

bool V4L2Device::dequeue(PixelBufferRef& picture, MediaTime& time, std::optional<VideoCaptureEvent>& event) {
  std::unique_lock lock(mutex_);
  if (!running_) return false;
  // A restart that failed is told at the top of the thread's loop.
  if (!streamOn_) return true;
  v4l2_buffer buf{};
  buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buf.memory = V4L2_MEMORY_MMAP;
  const int rc = xioctl(VIDIOC_DQBUF, &buf);
  if (rc == -EAGAIN) return true;
  if (rc != 0) {
    const int code = -rc;
    event = VideoCaptureEvent{code == ENODEV ? VideoCaptureEvent::Kind::disconnected
                                             : VideoCaptureEvent::Kind::runtimeError,
                              std::strerror(code)};
    return false;
  }
  if (!(buf.flags & V4L2_BUF_FLAG_ERROR) && buf.index < buffers_.size()) {
    picture = converter_.convert(layout_, static_cast<const uint8_t*>(buffers_[buf.index].start),
                                 std::min<size_t>(buf.bytesused, buffers_[buf.index].length));
    if ((buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC)
      time = MediaTime::fromNanos(int64_t(buf.timestamp.tv_sec) * kNanosPerSecond +
                                  int64_t(buf.timestamp.tv_usec) * 1000);
  }
  if (int q = xioctl(VIDIOC_QBUF, &buf); q != 0) {
    event = VideoCaptureEvent{q == -ENODEV ? VideoCaptureEvent::Kind::disconnected
                                           : VideoCaptureEvent::Kind::runtimeError,
                              std::strerror(-q)};
    return false;
  }
  return true;
}

void V4L2Device::run() {
  int idleErrors = 0;
  std::optional<VideoCaptureEvent> ending;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (parkRequests_ > 0) {
        parked_ = true;
        streamingChanged_.notify_all();
        streamingChanged_.wait(lock, [this] { return parkRequests_ == 0 || !running_; });
        parked_ = false;
      }
      if (!running_) break;
      if (!streamOn_) {
        ending = restartFailure_ ? VideoCaptureEvent::endedBy(*restartFailure_)
                                 : VideoCaptureEvent{VideoCaptureEvent::Kind::runtimeError, "the stream did not restart"};
        break;
      }
    }
    pollfd fds[2] = {{fd_, POLLIN | POLLPRI, 0}, {wake_, POLLIN, 0}};
    const int n = ::poll(fds, 2, 1000);
    if (n > 0 && (fds[1].revents & POLLIN)) drainWake();
    if (!running_) break;
    if (n < 0 && errno != EINTR) break;
    if (n <= 0 || !(fds[0].revents & (POLLIN | POLLPRI | POLLERR | POLLHUP))) continue;
    std::optional<VideoCaptureEvent> event;
    if (fds[0].revents & POLLPRI) reportPrivacy(event);
    PixelBufferRef picture;
    MediaTime time = MediaTime::invalid();
    bool goOn = true;
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) goOn = dequeue(picture, time, event);
    if (picture && onFrame_) onFrame_(std::move(picture), time);
    if (!goOn) {
      ending = event;
      break;
    }
    if (event && onEvent_) onEvent_(*event);
    // An error flag with nothing to dequeue must not spin: the stream is broken.
    if ((fds[0].revents & POLLERR) && !picture && !event) {
      if (++idleErrors >= 100) {
        ending = VideoCaptureEvent{VideoCaptureEvent::Kind::runtimeError, "the stream reports an error"};
        break;
      }
      ::usleep(10000);
    } else {
      idleErrors = 0;
    }
  }
  // Marked before the end is told: whoever hears it may start the device again
  // at once, and that start must find this stream over.
  EventHandler tell;
  {
    std::lock_guard lock(mutex_);
    threadEnded_ = true;
    if (ending) tell = onEvent_;
    streamingChanged_.notify_all();
  }
  if (tell) tell(*ending);
}

}  // namespace platform

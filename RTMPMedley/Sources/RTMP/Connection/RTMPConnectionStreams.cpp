#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"

#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using platform::Async;

void RTMPConnection::attach(std::shared_ptr<RTMPStreamDelegate> stream) {
  if (!stream) return;
  {
    std::lock_guard lock(attachMutex_);
    attached_.push_back(std::move(stream));
  }
  // Taken in on the actor (every step that looks at the streams does so
  // first); when connected, that is also where it gets created.
  platform::spawnDetached(queue(), [](std::weak_ptr<RTMPConnection> weak) -> Async<void> {
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->hop();
    self->adoptAttachedStreams();
  }, weak_from_this());
}

Async<void> RTMPConnection::addStream(std::shared_ptr<RTMPStreamDelegate> stream) {
  co_await hop();
  adoptAttachedStreams();
  if (!stream) co_return;
  addEntry(stream);
  // While a connect is creating the streams, it takes this one too.
  if (connected_.value() && !connecting_) co_await createOnServer(stream, false);
}

void RTMPConnection::adoptAttachedStreams() {
  std::vector<std::shared_ptr<RTMPStreamDelegate>> attached;
  {
    std::lock_guard lock(attachMutex_);
    attached.swap(attached_);
  }
  for (auto& stream : attached) {
    addEntry(stream);
    if (connected_.value() && !connecting_)
      platform::spawnDetached(queue(), &RTMPConnection::createOnServer, stream, false);
  }
}

void RTMPConnection::addEntry(std::shared_ptr<RTMPStreamDelegate> stream) {
  auto [inbox, writer] = platform::AsyncStream<StreamDelivery>::make();
  auto pump = platform::spawn(runtime()->globalQueue(), &RTMPConnection::pumpLoop, stream, std::move(inbox));
  streams_.push_back(StreamEntry{std::move(stream), std::move(writer), std::move(pump)});
}

Async<void> RTMPConnection::createOnServer(std::shared_ptr<RTMPStreamDelegate> stream, bool reset) {
  try {
    if (reset) co_await stream->dispatch(medley::NetworkMonitorEvent::reset());
    co_await stream->createStream();
  } catch (const std::exception& e) {
    // One stream's failure is its own: the connection and the other streams go on.
    RTMP_LOG_ERROR("creating a stream failed:", e.what());
  } catch (...) {
    RTMP_LOG_ERROR("creating a stream failed");
  }
}

Async<std::vector<std::shared_ptr<RTMPStreamDelegate>>> RTMPConnection::streams() {
  co_await hop();
  adoptAttachedStreams();
  std::vector<std::shared_ptr<RTMPStreamDelegate>> out;
  for (const auto& entry : streams_) out.push_back(entry.stream);
  co_return out;
}

void RTMPConnection::deliverToStreams(const StreamDelivery& delivery) {
  adoptAttachedStreams();
  for (const auto& entry : streams_) entry.inbox.yield(delivery);
}

// One stream's messages and events, one after another, in the order they came.
Async<void> RTMPConnection::pumpLoop(std::shared_ptr<RTMPStreamDelegate> stream,
                                     platform::AsyncStream<StreamDelivery> inbox) {
  while (auto delivery = co_await inbox.next()) {
    try {
      if (delivery->event) {
        co_await stream->dispatch(std::move(*delivery->event));
      } else if (delivery->unaddressed || co_await stream->id() == delivery->target) {
        co_await stream->dispatch(std::move(delivery->message), delivery->type);
      }
    } catch (const std::exception& e) {
      RTMP_LOG_ERROR("a stream failed on a delivery:", e.what());
    }
  }
}

}  // namespace rtmpmedley

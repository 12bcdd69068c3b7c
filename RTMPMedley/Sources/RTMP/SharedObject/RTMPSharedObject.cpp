#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObject.h"

#include <algorithm>
#include <limits>

#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObjectRegistry.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

using platform::Async;

namespace {

constexpr size_t kMaxNameLength = 0xFFFF;

}  // namespace

RTMPSharedObject::RTMPSharedObject(std::string name, std::string path, bool persistence,
                                   std::shared_ptr<platform::Runtime> runtime,
                                   std::weak_ptr<RTMPSharedObjectRegistry> registry)
    : Actor("RTMPSharedObject", std::move(runtime)),
      name_(std::move(name)),
      path_(std::move(path)),
      persistence_(persistence),
      registry_(std::move(registry)) {}

std::shared_ptr<RTMPSharedObject> RTMPSharedObject::getRemote(const std::string& name, const std::string& remotePath,
                                                              bool persistence) {
  return RTMPSharedObjectRegistry::shared()->getRemote(name, remotePath, persistence);
}

Async<void> RTMPSharedObject::connect(std::shared_ptr<RTMPConnection> connection) {
  co_await hop();
  if (connection_) co_await close();
  connection_ = connection;
  if (!connection_) co_return;
  // Without a handler the connection drops what the server sends about the object.
  co_await connection_->setSharedObjectHandler(
      [weak = registry_](const std::string& name, const std::string& remotePath, bool persistence,
                         std::shared_ptr<RTMPSharedObjectMessage> message) {
        auto registry = weak.lock();
        if (!registry || !message) return;
        auto object = registry->getRemote(name, remotePath, persistence);
        // One job per message on the object's queue, in the order received.
        platform::spawnDetached(
            object->queue(),
            [](std::shared_ptr<RTMPSharedObject> o, std::shared_ptr<RTMPSharedObjectMessage> m) -> Async<void> {
              co_await o->onMessage(std::move(m));
            },
            object, std::move(message));
      });
  co_await hop();
  if (connection_ == connection && connection_->isConnected()) send(RTMPChunkType::zero, RTMPSharedObjectType::use);
}

Async<void> RTMPSharedObject::setProperty(std::string name, AMFValue value) {
  co_await hop();
  data_[name] = value;
  if (connection_ && succeeded_) send(RTMPChunkType::one, RTMPSharedObjectType::requestChange, name, value);
}

Async<void> RTMPSharedObject::clear() {
  co_await hop();
  data_.clear();
  if (connection_) send(RTMPChunkType::one, RTMPSharedObjectType::clear);
}

Async<void> RTMPSharedObject::close() {
  co_await hop();
  data_.clear();
  if (connection_) send(RTMPChunkType::one, RTMPSharedObjectType::release);
  connection_.reset();
}

Async<void> RTMPSharedObject::onMessage(std::shared_ptr<RTMPSharedObjectMessage> message) {
  co_await hop();
  if (!message) co_return;
  currentVersion_ = message->currentVersion;
  for (const auto& event : message->events) {
    switch (event.type) {
      case RTMPSharedObjectType::change:
        if (event.name) data_[*event.name] = event.data;
        break;
      case RTMPSharedObjectType::status:
        // The server refused a change of that property.
        if (event.name) data_.erase(*event.name);
        break;
      case RTMPSharedObjectType::clear:
        data_.clear();
        break;
      case RTMPSharedObjectType::useSuccess:
        succeeded_ = true;
        // After this message: what was set before the object was in use goes to the server now.
        platform::spawnDetached(
            queue(), [](std::shared_ptr<RTMPSharedObject> self) -> Async<void> {
              co_await self->hop();
              self->requestChanges();
            },
            shared_from_this());
        break;
      default:
        break;
    }
  }
}

void RTMPSharedObject::requestChanges() {
  const auto properties = data_;
  for (const auto& [name, value] : properties)
    if (connection_ && succeeded_) send(RTMPChunkType::one, RTMPSharedObjectType::requestChange, name, value);
}

Async<RTMPSharedObject::Properties> RTMPSharedObject::data() {
  co_await hop();
  co_return data_;
}

Async<RTMPSharedObject::Snapshot> RTMPSharedObject::snapshot() {
  co_await hop();
  co_return Snapshot{succeeded_, currentVersion_, connection_ != nullptr};
}

std::shared_ptr<RTMPSharedObjectMessage> RTMPSharedObject::makeMessage(std::vector<RTMPSharedObjectEvent> events) {
  if (name_.size() > kMaxNameLength) {
    RTMP_LOG_WARN("RTMPSharedObject: a name of " + std::to_string(name_.size()) +
                  " bytes cannot be written; nothing sent");
    return nullptr;
  }
  std::erase_if(events, [](const RTMPSharedObjectEvent& e) {
    if (!e.name || e.name->size() <= kMaxNameLength) return false;
    RTMP_LOG_WARN("RTMPSharedObject: a property name of " + std::to_string(e.name->size()) +
                  " bytes cannot be written; event left out");
    return true;
  });
  // The milliseconds since the previous message: 0 for the first, at most what 32 bits hold.
  const platform::Nanos now = queue()->runtime()->now();
  uint32_t elapsed = 0;
  if (timestamp_ && now > *timestamp_) {
    const auto ms = (now - *timestamp_) / 1'000'000;
    elapsed = static_cast<uint32_t>(std::min<platform::Nanos>(ms, std::numeric_limits<uint32_t>::max()));
  }
  timestamp_ = now;
  medley::Data flags(8, 0);
  if (persistence_) flags[3] = 2;
  const uint32_t version = succeeded_ ? 0 : currentVersion_;
  auto message = std::make_shared<RTMPSharedObjectMessage>(0, elapsed, objectEncoding_, name_, version,
                                                           std::move(flags), std::move(events));
  ++currentVersion_;
  return message;
}

void RTMPSharedObject::send(RTMPChunkType type, RTMPSharedObjectType event, std::optional<std::string> name,
                            AMFValue value) {
  RTMPSharedObjectEvent e;
  e.type = event;
  e.name = std::move(name);
  e.data = std::move(value);
  auto message = makeMessage({std::move(e)});
  if (message && connection_) connection_->send(type, RTMPChunkStreamId::command, *message);
}

}  // namespace rtmpmedley

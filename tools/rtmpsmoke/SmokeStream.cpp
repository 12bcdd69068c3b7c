#include "SmokeStream.h"

#include <iostream>

#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"

namespace rtmpsmoke {

using platform::Async;
using namespace rtmpmedley;

SmokeStream::SmokeStream(std::shared_ptr<platform::Runtime> runtime, std::weak_ptr<RTMPConnection> connection,
                         std::string key)
    : Actor("rtmpsmoke.stream", std::move(runtime)), connection_(std::move(connection)), key_(std::move(key)) {}

Async<uint32_t> SmokeStream::id() {
  co_await hop();
  co_return id_;
}

Async<std::optional<std::string>> SmokeStream::fcPublishName() {
  co_await hop();
  co_return key_;
}

Async<void> SmokeStream::callIgnoringErrors(std::string name, AMFList arguments) {
  auto connection = connection_.lock();
  if (!connection) co_return;
  try {
    co_await connection->call(std::move(name), std::move(arguments));
  } catch (const std::exception&) {
    // Servers differ in what they answer to these.
  }
}

Async<void> SmokeStream::createStream() {
  co_await hop();
  AMFList name;
  name.emplace_back(key_);
  // Some servers (nginx among them) answer neither: they are not waited for.
  platform::spawnDetached(queue(), &SmokeStream::callIgnoringErrors, shared_from_this(), std::string("releaseStream"),
                          name);
  platform::spawnDetached(queue(), &SmokeStream::callIgnoringErrors, shared_from_this(), std::string("FCPublish"),
                          name);
  auto connection = connection_.lock();
  if (!connection) co_return;
  try {
    const auto answer = co_await connection->call("createStream");
    if (!answer.arguments.empty() && answer.arguments[0].number())
      id_ = static_cast<uint32_t>(*answer.arguments[0].number());
  } catch (const std::exception& e) {
    std::cerr << "rtmpsmoke: createStream failed: " << e.what() << "\n";
  }
}

Async<void> SmokeStream::close() {
  co_await hop();
}

Async<void> SmokeStream::unpublishOnClose() {
  co_await hop();
  if (!publishing_) co_return;
  AMFList name;
  name.emplace_back(key_);
  AMFList id;
  id.emplace_back(id_);
  auto unpublish = platform::spawn(queue(), &SmokeStream::callIgnoringErrors, shared_from_this(),
                                   std::string("FCUnpublish"), name);
  auto remove = platform::spawn(queue(), &SmokeStream::callIgnoringErrors, shared_from_this(),
                                std::string("deleteStream"), id);
  co_await remove.value();
  co_await unpublish.value();
}

Async<void> SmokeStream::dispatch(RTMPMessagePtr message, RTMPChunkType) {
  co_await hop();
  auto command = std::dynamic_pointer_cast<RTMPCommandMessage>(message);
  if (!command || command->commandName != "onStatus") co_return;
  const RTMPResponse response(*command);
  if (!response.status) co_return;
  std::lock_guard lock(mutex_);
  statuses_.push_back(response.status->code);
}

Async<void> SmokeStream::dispatch(medley::NetworkMonitorEvent) {
  co_await hop();
  ++monitorEvents_;
}

Async<bool> SmokeStream::publish(platform::Nanos timeout) {
  co_await hop();
  auto connection = connection_.lock();
  if (!connection || id_ == 0) co_return false;
  AMFList arguments;
  arguments.emplace_back(key_);
  arguments.emplace_back("live");
  auto command = std::make_shared<RTMPCommandMessage>(id_, 0, RTMPObjectEncoding::amf0, "publish", 0, std::nullopt,
                                                      std::move(arguments));
  co_await connection->doOutput(RTMPChunkType::zero, RTMPChunkStreamId::command, command);
  const platform::Nanos step = platform::milliseconds(10);
  for (platform::Nanos waited = 0; waited < timeout; waited += step) {
    {
      std::lock_guard lock(mutex_);
      for (const auto& code : statuses_) {
        if (code == "NetStream.Publish.Start") publishing_ = true;
        if (code.find("Publish.BadName") != std::string::npos || code.find("Failed") != std::string::npos)
          co_return false;
      }
    }
    if (publishing_) co_return true;
    co_await platform::sleepFor(step);
  }
  co_return false;
}

Async<int64_t> SmokeStream::send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, RTMPMessagePtr message) {
  auto connection = connection_.lock();
  if (!connection || !message) co_return 0;
  co_return co_await connection->doOutput(type, chunkStreamId, std::move(message));
}

std::vector<std::string> SmokeStream::statuses() const {
  std::lock_guard lock(mutex_);
  return statuses_;
}

}  // namespace rtmpsmoke

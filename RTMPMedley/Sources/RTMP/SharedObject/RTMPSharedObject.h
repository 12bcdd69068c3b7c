#pragma once
// The client side of one remote shared object, an actor: a named set of
// properties that the server keeps for the clients of an application.
// connect() sends "use"; the server's "useSuccess" puts the object in use, and
// from then on every property set is sent as "requestChange"; the server's
// "change", "status" (a refused change) and "clear" events change the
// properties here. Received shared-object messages reach the object through
// the connection's shared-object handler, which connect() installs.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Concurrency/Actor.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectMessage.h"

namespace rtmpmedley {

class RTMPSharedObjectRegistry;

class RTMPSharedObject final : public platform::Actor, public std::enable_shared_from_this<RTMPSharedObject> {
 public:
  using Properties = std::map<std::string, AMFValue, std::less<>>;

  // Made by a registry.
  RTMPSharedObject(std::string name, std::string path, bool persistence, std::shared_ptr<platform::Runtime> runtime,
                   std::weak_ptr<RTMPSharedObjectRegistry> registry);

  // The process-wide registry's object for the key, made on a miss.
  static std::shared_ptr<RTMPSharedObject> getRemote(const std::string& name, const std::string& remotePath,
                                                     bool persistence);

  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  bool persistence() const { return persistence_; }
  RTMPObjectEncoding objectEncoding() const { return objectEncoding_; }

  // Attaches the object (closing it first when attached elsewhere), routes
  // the connection's received shared-object messages to its registry, and
  // sends "use" when the connection is connected.
  platform::Async<void> connect(std::shared_ptr<RTMPConnection> connection);
  // Sets the property; once in use, asks the server to change it.
  platform::Async<void> setProperty(std::string name, AMFValue value);
  // Empties the properties and, when attached, sends "clear".
  platform::Async<void> clear();
  // Empties the properties, sends "release" when attached, and detaches.
  platform::Async<void> close();
  // Applies the server's events.
  platform::Async<void> onMessage(std::shared_ptr<RTMPSharedObjectMessage> message);

  platform::Async<Properties> data();
  struct Snapshot {
    bool succeeded = false;
    uint32_t currentVersion = 0;
    bool attached = false;
  };
  platform::Async<Snapshot> snapshot();

  // On the actor: the outgoing message of these events, or none (logged) when
  // the object's name cannot be written. Events whose name cannot be written
  // are left out (logged). Counts the version on.
  std::shared_ptr<RTMPSharedObjectMessage> makeMessage(std::vector<RTMPSharedObjectEvent> events);

 private:
  void send(RTMPChunkType type, RTMPSharedObjectType event, std::optional<std::string> name = std::nullopt,
            AMFValue value = {});
  void requestChanges();

  const RTMPObjectEncoding objectEncoding_ = RTMPObjectEncoding::amf0;
  Properties data_;
  bool succeeded_ = false;
  const std::string name_;
  const std::string path_;
  // Runtime time of the last outgoing message; none before the first.
  std::optional<platform::Nanos> timestamp_;
  const bool persistence_;
  uint32_t currentVersion_ = 0;
  std::shared_ptr<RTMPConnection> connection_;
  const std::weak_ptr<RTMPSharedObjectRegistry> registry_;
};

}  // namespace rtmpmedley

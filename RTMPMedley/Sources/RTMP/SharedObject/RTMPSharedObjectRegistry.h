#pragma once
// The shared objects of a process (or of a test), one per remote path, name
// and persistence. Looking an object up and making it on a miss is one step,
// so two threads that miss the same key at once get the same object.
#include <map>
#include <memory>
#include <string>

#include "Platform/Dispatch/Runtime.h"
#include "RTMPMedley/Sources/RTMP/Util/MDAtomic.h"

namespace rtmpmedley {

class RTMPSharedObject;

class RTMPSharedObjectRegistry : public std::enable_shared_from_this<RTMPSharedObjectRegistry> {
 public:
  // Objects made here run on `runtime`.
  explicit RTMPSharedObjectRegistry(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  static const std::shared_ptr<RTMPSharedObjectRegistry>& shared();

  // "<remotePath>/<name>?persistence=true|false".
  static std::string key(const std::string& name, const std::string& remotePath, bool persistence);

  // The object registered for the key; made and registered on a miss.
  std::shared_ptr<RTMPSharedObject> getRemote(const std::string& name, const std::string& remotePath,
                                              bool persistence);
  size_t count() const;

 private:
  std::shared_ptr<platform::Runtime> runtime_;
  MDAtomic<std::map<std::string, std::shared_ptr<RTMPSharedObject>>> objects_{{}};
};

}  // namespace rtmpmedley

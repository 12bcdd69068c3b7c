#pragma once
// One connection to a sound server: a threaded mainloop and a context that is
// ready once connect() returns. Every pa_* call on the context or on streams made
// from it runs while a Lock is held (callbacks on the mainloop's thread hold it
// already). Streams keep the context alive by holding its shared_ptr. Events for
// the owner (the server going away) are delivered on the queue given at connect,
// through a weak reference, never on the mainloop's thread.
#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/thread-mainloop.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Time/HostClock.h"

namespace platform {

class PulseAudioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PulseAudioContext : public std::enable_shared_from_this<PulseAudioContext> {
  struct Private {};

 public:
  struct Options {
    // "unix:/path" or any server string libpulse takes; empty means defaultServer().
    std::string server;
    // Bounds the connection and the handshake: a socket that accepts and never answers fails too.
    Nanos connectTimeout = seconds(3);
    std::string applicationName = "Quarzadel";
    // Where the disconnect handler runs; null means the shared runtime's global queue.
    std::shared_ptr<SerialQueue> queue;
  };

  struct ServerInfo {
    std::string serverName;
    std::string serverVersion;
    std::string defaultSinkName;
    std::string defaultSourceName;
    uint32_t sampleRate = 0;
    uint8_t channels = 0;
  };

  // Holds the mainloop's lock (recursive) for its lifetime.
  class Lock {
   public:
    explicit Lock(const PulseAudioContext& context);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* mainloop_;
  };

  // PULSE_SERVER when set, else the user's runtime socket ($XDG_RUNTIME_DIR/pulse/native,
  // or /run/user/<uid>/pulse/native) when it exists; nothing when there is neither.
  static std::optional<std::string> defaultServer();

  // Connects and waits until the server is ready. Throws PulseAudioError, naming the
  // server, when there is no server to try, it refuses, or it does not answer in time.
  static std::shared_ptr<PulseAudioContext> connect(Options options);
  static std::shared_ptr<PulseAudioContext> connect();

  PulseAudioContext(Private, Options options, std::string server);
  ~PulseAudioContext();
  PulseAudioContext(const PulseAudioContext&) = delete;
  PulseAudioContext& operator=(const PulseAudioContext&) = delete;

  const std::string& server() const { return server_; }
  // False once the server went away; the context does not reconnect.
  bool isConnected() const;
  // Runs once, on the options' queue, when the connection breaks after connect() returned.
  void setDisconnectHandler(std::function<void()> handler);

  // Asks the server (takes the lock itself). Throws PulseAudioError when it cannot.
  ServerInfo serverInfo();

  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }
  bool inMainloopThread() const;

  // Under the lock: waits until the operation is no longer running, then unrefs it.
  // Its callback must call signal(). Throws PulseAudioError on a null operation.
  void wait(pa_operation* operation);
  // Under the lock: blocks until a callback calls signal(). For the caller's own conditions.
  void waitForSignal();
  // From a mainloop callback: wakes wait() and waitForSignal().
  void signal();
  // The context's last error, readable. Under the lock.
  std::string lastError() const;

 private:
  static void onState(pa_context* context, void* userdata);
  void handleState();

  Options options_;
  std::string server_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;

  mutable std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  pa_context_state_t state_ = PA_CONTEXT_UNCONNECTED;
  bool connected_ = false;  // reached ready and has not failed since
  std::function<void()> disconnectHandler_;
};

}  // namespace platform

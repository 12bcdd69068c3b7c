#pragma once
// One RTMP client connection (the protocol's NetConnection), an actor.
//
// connect() opens a socket, runs the handshake, sends "connect" and waits for
// its answer, logging in again when the server asks for credentials; then it
// re-creates the attached streams on the server. call() sends a command with
// a fresh transaction id and waits for its answer within the request
// time-out. close() takes the streams down, closes the socket and reports
// "NetConnection.Connect.Closed" (after a complete handshake) or
// "NetConnection.Connect.Failed" on the status sequence.
//
// Received bytes are read into messages one at a time, in order: control
// messages change the chunk and window sizes, answers resume their waiting
// call, statuses go to the status sequence, and messages for a message stream
// go to its stream, in order, without holding up the reading.
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Medley/Sources/Network/NetworkConnection.h"
#include "Medley/Sources/Network/NetworkMonitor.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/AsyncStreamWriterSlot.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Published/Published.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPAuthenticator.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPHandshake.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectMessage.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStreamDelegate.h"

namespace rtmpmedley {

class RTMPConnection : public platform::Actor,
                       public medley::NetworkConnection,
                       public std::enable_shared_from_this<RTMPConnection> {
 public:
  // NetConnection status codes.
  enum class Code : uint8_t {
    callBadVersion,
    callFailed,
    callProhibited,
    connectAppshutdown,
    connectClosed,
    connectFailed,
    connectIdleTimeOut,
    connectInvalidApp,
    connectNetworkChange,
    connectRejected,
    connectSuccess,
  };
  // Exactly the eleven texts, case-sensitive.
  static std::optional<Code> makeCode(std::string_view rawValue);
  static std::string_view rawValue(Code code);
  // "error" or "status".
  static std::string_view level(Code code);
  static RTMPStatus makeStatus(Code code, std::string description = {});

  // Handshake progress.
  enum class ReadyState : uint8_t { uninitialized = 0, versionSent = 1, ackSent = 2, handshakeDone = 3 };
  static std::optional<ReadyState> makeReadyState(uint8_t rawValue);
  static std::string_view name(ReadyState state);

  class Error : public std::exception {
   public:
    enum class Kind {
      // The text is no rtmp or rtmps URL with a host.
      unsupportedCommand,
      // The socket could not connect; the network error when there was one.
      socketErrorOccurred,
      // The server answered with an error, or the connection closed while waiting.
      requestFailed,
      // Not allowed in the connection's state.
      invalidState,
      // No connection within the time-out.
      connectionTimedOut,
      // No answer to a command within the request time-out.
      requestTimedOut,
    };
    static Error unsupportedCommand(std::string command);
    static Error socketErrorOccurred(std::optional<platform::TcpError> error);
    static Error requestFailed(RTMPResponse response);
    static Error invalidState() { return Error(Kind::invalidState); }
    static Error connectionTimedOut() { return Error(Kind::connectionTimedOut); }
    static Error requestTimedOut() { return Error(Kind::requestTimedOut); }

    Kind kind() const { return kind_; }
    const std::string& command() const { return command_; }
    const std::optional<platform::TcpError>& socketError() const { return socketError_; }
    const std::optional<RTMPResponse>& response() const { return response_; }
    // Never shows credentials or query values of a URL.
    const char* what() const noexcept override { return message_.c_str(); }

   private:
    explicit Error(Kind kind);
    Kind kind_;
    std::string command_;
    std::optional<platform::TcpError> socketError_;
    std::optional<RTMPResponse> response_;
    std::string message_;
  };

  using FourCcInfoMap = std::map<std::string, int64_t>;

  static const std::set<std::string>& supportedProtocols();
  static const std::vector<std::string>& defaultFourCcList();
  static const FourCcInfoMap& defaultAudioFourCcInfoMap();
  static const FourCcInfoMap& defaultVideoFourCcInfoMap();
  static constexpr int defaultPort = 1935;
  static constexpr int defaultSecurePort = 443;
  static constexpr const char* defaultFlashVer = "FMLE/3.0 (compatible; FMSc/1.0)";
  static constexpr int64_t defaultChunkSizeS = 8192;
  static constexpr int64_t defaultCapabilities = 239;
  // Login answers per connect() at most (user name, then challenge response).
  static constexpr int kMaxAuthenticationSteps = 2;

  // `timeout` (seconds) bounds the socket's connect, the handshake and the
  // answer to "connect" (0 or less: no bound); `requestTimeout` (ms) bounds
  // each call(); `chunkSize` is announced to the server once connected.
  RTMPConnection(std::optional<std::string> swfUrl, std::optional<std::string> pageUrl, std::string flashVer,
                 std::optional<std::vector<std::string>> fourCcList, std::optional<FourCcInfoMap> videoFourCcInfoMap,
                 std::optional<FourCcInfoMap> audioFourCcInfoMap, int64_t capsEx, int timeout,
                 uint64_t requestTimeout, int64_t chunkSize, platform::QualityOfService qualityOfService,
                 std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  ~RTMPConnection() override;

  // With the settings the application uses (time-out 15 s, request time-out
  // 10 s, chunk size 8192, the default codec lists and maps).
  static std::shared_ptr<RTMPConnection> make(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  // `command` is the full rtmp or rtmps URL (credentials in its user-info part);
  // `arguments` follow the command object. Returns the answer to "connect".
  platform::Async<RTMPResponse> connect(std::string command, AMFList arguments = {});
  // Sends the command and returns the "_result"; throws Error otherwise.
  // Cancelling the calling task does not end the wait.
  platform::Async<RTMPResponse> call(std::string commandName, AMFList arguments = {});
  // Throws invalidState when there is nothing to close. A connect under way
  // is given up: it throws requestFailed with the closing status.
  platform::Async<void> close() override;
  platform::Async<bool> connected() override;

  // Appends the stream; creates it on the server now when connected, and
  // again after each connect.
  platform::Async<void> addStream(std::shared_ptr<RTMPStreamDelegate> stream);
  platform::Async<std::vector<std::shared_ptr<RTMPStreamDelegate>>> streams();

  // The URL of the current connect (credentials included); none after close.
  platform::Async<std::optional<RTMPConnectionURL>> uri();

  // A new sequence of statuses (unbounded); the one handed out before ends.
  platform::Async<platform::AsyncStream<RTMPStatus>> status();
  // True while connected; any thread.
  bool isConnected() const { return connected_.value(); }
  // The current value, then every assignment.
  platform::Publisher<bool> connectedPublisher() const { return connected_.publisher(); }

  // Cuts the message into chunks (the first of `type`) and hands them to the
  // socket in one piece. Returns the payload's byte count, 0 when nothing was
  // sent out (empty or oversized payload). Never fails.
  platform::Async<int64_t> doOutput(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, RTMPMessagePtr message);

  // Received bytes, as the socket delivers them.
  platform::Async<void> listen(medley::Data data);
  // A network monitor event: acknowledges received bytes when a window has
  // passed, then hands the event to every stream.
  platform::Async<void> dispatch(medley::NetworkMonitorEvent event);
  // One received message with the chunk type of its first chunk.
  platform::Async<void> dispatch(RTMPMessagePtr message, RTMPChunkType type);

  // Where received shared-object messages go: name, remote path (the URL
  // without credentials and query), persistence, message.
  using SharedObjectHandler = std::function<void(const std::string& name, const std::string& remotePath,
                                                 bool persistence, std::shared_ptr<RTMPSharedObjectMessage>)>;
  platform::Async<void> setSharedObjectHandler(SharedObjectHandler handler);
  platform::Async<void> setObjectEncoding(RTMPObjectEncoding encoding);

  // Settings, as given.
  const std::optional<std::string>& swfUrl() const { return swfUrl_; }
  const std::optional<std::string>& pageUrl() const { return pageUrl_; }
  const std::string& flashVer() const { return flashVer_; }
  const std::optional<std::vector<std::string>>& fourCcList() const { return fourCcList_; }
  const std::optional<FourCcInfoMap>& videoFourCcInfoMap() const { return videoFourCcInfoMap_; }
  const std::optional<FourCcInfoMap>& audioFourCcInfoMap() const { return audioFourCcInfoMap_; }
  int64_t capsEx() const { return capsEx_; }
  int timeout() const { return timeout_; }
  uint64_t requestTimeout() const { return requestTimeout_; }
  int64_t chunkSize() const { return chunkSize_; }
  platform::QualityOfService qualityOfService() const { return qualityOfService_; }

  // The actor's state at one moment, for tools and tests.
  struct Snapshot {
    ReadyState readyState = ReadyState::uninitialized;
    bool connected = false;
    std::optional<std::string> uri;  // without credentials
    RTMPObjectEncoding objectEncoding = RTMPObjectEncoding::amf0;
    uint32_t chunkSizeC = 0;
    uint32_t chunkSizeS = 0;
    int64_t windowSizeC = 0;
    int64_t windowSizeS = 0;
    uint32_t bandWidth = 0;
    int64_t sequence = 0;
    int64_t currentTransactionId = 0;
    size_t operations = 0;
    size_t streams = 0;
    bool hasSocket = false;
  };
  platform::Async<Snapshot> snapshot();
  platform::Async<std::shared_ptr<RTMPSocket>> socket();

 protected:
  // The "connect" command for the current URL; none without one.
  virtual std::shared_ptr<RTMPCommandMessage> makeConnectCommand();

 private:
  struct Operation {
    platform::Continuation<RTMPResponse> continuation;
    uint64_t serial = 0;
    platform::TaskHandle<void> timeout;
  };
  struct StreamDelivery {
    RTMPMessagePtr message;
    RTMPChunkType type = RTMPChunkType::zero;
    uint32_t target = 0;
    std::optional<medley::NetworkMonitorEvent> event;
  };
  struct StreamEntry {
    std::shared_ptr<RTMPStreamDelegate> stream;
    platform::AsyncStreamWriter<StreamDelivery> inbox;
    platform::TaskHandle<void> pump;
  };

  // Connecting.
  platform::Async<RTMPResponse> attempt(RTMPConnectionURL url);
  platform::Async<void> retireAttempt();
  void failConnectWait(uint64_t generation, std::exception_ptr error);
  static platform::Async<void> receiveLoop(std::weak_ptr<RTMPConnection> weak, std::shared_ptr<RTMPSocket> socket,
                                           uint64_t generation, std::string host, int port);
  // Ends the wait of `transactionId` armed with `serial` (and no other) once `after` has passed.
  // A connect wait that times out also retires its attempt's generation.
  static platform::Async<void> expireOperation(std::weak_ptr<RTMPConnection> weak, int64_t transactionId,
                                               uint64_t serial, platform::Nanos after, bool isConnect);
  static platform::Async<void> monitorLoop(std::weak_ptr<RTMPConnection> weak,
                                           platform::AsyncStream<medley::NetworkMonitorEvent> events);
  static platform::Async<void> pumpLoop(std::shared_ptr<RTMPStreamDelegate> stream,
                                        platform::AsyncStream<StreamDelivery> inbox);
  platform::Async<bool> receive(uint64_t generation, medley::Data data);
  platform::Async<void> transportEnded(uint64_t generation);
  platform::Async<void> closeQuietly();
  std::optional<Operation> takeOperation(int64_t transactionId);
  void failOperations(const RTMPStatus& status);

  // Receiving.
  platform::Async<void> readChunks(uint64_t generation, medley::Data data);
  platform::Async<void> handleCommand(std::shared_ptr<RTMPCommandMessage> command);
  void acknowledge(const medley::NetworkMonitorEvent& event);
  void deliverToStreams(const StreamDelivery& delivery);

  // Sending.
  int64_t output(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message,
                 RTMPSendLane lane = RTMPSendLane::media);

  void setReadyState(ReadyState state);
  void setChunkSizeS(uint32_t size);
  std::shared_ptr<platform::Runtime> runtime() const { return queue()->runtime(); }

  // Settings.
  const std::optional<std::string> swfUrl_;
  const std::optional<std::string> pageUrl_;
  const std::string flashVer_;
  const std::optional<std::vector<std::string>> fourCcList_;
  const std::optional<FourCcInfoMap> videoFourCcInfoMap_;
  const std::optional<FourCcInfoMap> audioFourCcInfoMap_;
  const int64_t capsEx_;
  const int timeout_;
  const uint64_t requestTimeout_;
  const int64_t chunkSize_;
  const platform::QualityOfService qualityOfService_;

  std::optional<RTMPConnectionURL> uri_;
  platform::Published<bool> connected_{false};
  RTMPObjectEncoding objectEncoding_ = RTMPObjectEncoding::amf0;
  std::shared_ptr<RTMPSocket> socket_;
  std::vector<StreamEntry> streams_;
  int64_t sequence_ = 0;
  uint32_t bandWidth_ = 0;
  RTMPHandshake handshake_;
  AMFList arguments_;
  ReadyState readyState_ = ReadyState::uninitialized;
  uint32_t chunkSizeS_ = RTMPChunkBuffer::kDefaultChunkSize;
  std::map<int64_t, Operation> operations_;
  // Incoming chunks (with the per-chunk-stream records) and outgoing chunks.
  RTMPChunkReader reader_;
  RTMPChunkBuffer outputBuffer_;
  int64_t windowSizeC_ = 250000;
  int64_t windowSizeS_ = 250000;
  RTMPAuthenticator authenticator_;
  std::shared_ptr<medley::NetworkMonitor> networkMonitor_;
  platform::TaskHandle<void> monitorTask_;
  platform::AsyncStreamWriterSlot<RTMPStatus> statusContinuation_;
  int64_t currentTransactionId_ = 1;
  SharedObjectHandler sharedObjectHandler_;

  // Each socket is one generation; bytes and ends of a retired one are ignored.
  uint64_t generation_ = 0;
  uint64_t operationSerial_ = 0;
  bool connecting_ = false;
  bool connectAborted_ = false;
  bool closing_ = false;
  std::vector<platform::Continuation<void>> closeWaiters_;
};

}  // namespace rtmpmedley

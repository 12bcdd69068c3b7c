#pragma once
// One RTMP client connection (the protocol's NetConnection), an actor.
//
// connect() opens a transport, runs the handshake, sends "connect" and waits
// for its answer, logging in again when the server asks for credentials; then
// it creates the attached streams on the server. call() sends a command with a
// fresh transaction id and waits for its answer within the request time-out.
// close() takes the streams down, closes the transport and reports
// "NetConnection.Connect.Closed" (after a complete handshake) or
// "NetConnection.Connect.Failed" on the status sequence.
//
// Received bytes are read into messages one at a time, in order: control
// messages change the chunk and window sizes, answers resume their waiting
// call, statuses go to the status sequence, and messages for a message stream
// go to its stream, in order, without holding up the reading.
//
// Once the transport has ended (the server closed or reset it, or said
// "close"), nothing more is sent and no command waits: the streams' teardown
// commands fail at once and the closing status follows straight away.
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Medley/Sources/Network/NetworkConnection.h"
#include "Medley/Sources/Network/NetworkMonitor.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Published/Published.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPHandshake.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPAuthenticator.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionSettings.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnectionURL.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPPendingCommands.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPSocket.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStreamDelegate.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPTransport.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectMessage.h"

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

  using Settings = RTMPConnectionSettings;
  using FourCcInfoMap = Settings::FourCcInfoMap;

  static const std::set<std::string>& supportedProtocols();
  static const std::vector<std::string>& defaultFourCcList() { return Settings::defaultFourCcList(); }
  static const FourCcInfoMap& defaultAudioFourCcInfoMap() { return Settings::defaultAudioFourCcInfoMap(); }
  static const FourCcInfoMap& defaultVideoFourCcInfoMap() { return Settings::defaultVideoFourCcInfoMap(); }
  static constexpr int defaultPort = 1935;
  static constexpr int defaultSecurePort = 443;
  static constexpr const char* defaultFlashVer = Settings::kDefaultFlashVer;
  static constexpr int64_t defaultChunkSizeS = Settings::kDefaultChunkSize;
  static constexpr int64_t defaultCapabilities = 239;
  // Login answers per connect() at most (user name, then challenge response).
  static constexpr int kMaxAuthenticationSteps = 2;
  // The window announced to the server once connected: it says at the latest
  // every so many bytes how far it has read, often enough even for a slow
  // stream to tell a server that stopped reading within a second or two.
  // While its acknowledgements come many to a tenth of a second the window
  // doubles (up to the maximum), so that a fast upload does not drown in
  // them; one that comes more than a tenth of a second after the one before
  // halves it again, so that at a live stream's rate it stays small.
  static constexpr int64_t kAcknowledgementWindow = 16 * 1024;
  static constexpr int64_t kMaximumAcknowledgementWindow = 4 * 1024 * 1024;
  static constexpr size_t kAcknowledgementsToGrow = 16;
  // C0, C1 and C2: servers count what they read from the first chunk on.
  static constexpr uint64_t kHandshakeBytes = 1 + 2 * RTMPHandshake::kPacketSize;

  explicit RTMPConnection(Settings settings = {},
                          std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  ~RTMPConnection() override;

  // With the settings the application uses.
  static std::shared_ptr<RTMPConnection> make(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  // `command` is the full rtmp or rtmps URL (credentials in its user-info part);
  // `arguments` follow the command object. Returns the answer to "connect"
  // once the attached streams have been created on the server.
  platform::Async<RTMPResponse> connect(std::string command, AMFList arguments = {});
  // Sends the command and returns the "_result"; throws Error otherwise.
  // Cancelling the calling task does not end the wait. Commands the protocol
  // leaves unanswered ("deleteStream") return an empty response once sent.
  platform::Async<RTMPResponse> call(std::string commandName, AMFList arguments = {});
  // Sends the command with a fresh transaction id and returns once it is
  // handed to the transport, for commands servers may leave unanswered
  // ("releaseStream", "FCPublish", "FCUnpublish"). A late answer only reports
  // its status. Throws invalidState when not connected.
  platform::Async<void> callWithoutAnswer(std::string commandName, AMFList arguments = {});
  // Throws invalidState when there is nothing to close. A connect under way
  // is given up: it throws requestFailed with the closing status.
  platform::Async<void> close() override;
  // Gives the connection up at once: the transport is reset, dropping what is
  // queued, so the server frees what this connection held without reading a
  // backlog first; nothing more is sent (the streams' teardown commands are
  // not) and the close then reports as close() does. Nothing without a
  // connection.
  platform::Async<void> abort();
  platform::Async<bool> connected() override;

  // Attaches the stream at once, from any thread, ahead of any connect() that
  // follows. The connection creates it on the server (reset event, then
  // createStream()) after each connect, and straight away when it is
  // connected already; it never creates one stream twice for one connect.
  void attach(std::shared_ptr<RTMPStreamDelegate> stream);
  // Attaches the stream and, when connected, awaits its creation.
  platform::Async<void> addStream(std::shared_ptr<RTMPStreamDelegate> stream);
  platform::Async<std::vector<std::shared_ptr<RTMPStreamDelegate>>> streams();

  // The URL of the current connect (credentials included); none after close.
  platform::Async<std::optional<RTMPConnectionURL>> uri();

  // A new sequence of statuses (unbounded). A sequence handed out before
  // receives nothing more, but is not finished: its reader is not told that
  // the connection closed. The refusals a connect answers with a login step
  // are its own: only the refusal that ends a connect is reported.
  platform::Async<platform::AsyncStream<RTMPStatus>> status();
  // True while connected; any thread.
  bool isConnected() const { return connected_.value(); }
  // The current value, then every assignment.
  platform::Publisher<bool> connectedPublisher() const { return connected_.publisher(); }

  // Cuts the message into chunks (the first of `type`) and hands them to the
  // transport in one piece, at once and in call order, from any thread.
  // Returns the payload's byte count; 0 when nothing was sent (not connected,
  // the transport ended, an empty or oversized payload).
  int64_t send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message);
  // The same for a message the transport may keep until written, so that its
  // payload is written where it lies instead of being copied. The message
  // must not change from here on.
  int64_t send(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, std::shared_ptr<const RTMPMessage> message);
  // How far the open transport has written what it was handed; any thread.
  std::optional<RTMPTransport::OutputProgress> outputProgress();
  // send() of a message kept until written, awaited on the connection.
  platform::Async<int64_t> doOutput(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, RTMPMessagePtr message);

  // Received bytes, as the transport delivers them.
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

  const Settings& settings() const { return settings_; }

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
  // The transport of the current (or last) connect.
  platform::Async<std::shared_ptr<RTMPTransport>> transport();
  // The same, when it is a socket.
  platform::Async<std::shared_ptr<RTMPSocket>> socket();

 protected:
  // The "connect" command for the current URL; none without one.
  virtual std::shared_ptr<RTMPCommandMessage> makeConnectCommand();

 private:
  struct StreamDelivery {
    RTMPMessagePtr message;
    RTMPChunkType type = RTMPChunkType::zero;
    uint32_t target = 0;
    std::optional<medley::NetworkMonitorEvent> event;
    // Media on message stream 0, offered to every stream.
    bool unaddressed = false;
  };
  struct StreamEntry {
    std::shared_ptr<RTMPStreamDelegate> stream;
    platform::AsyncStreamWriter<StreamDelivery> inbox;
    platform::TaskHandle<void> pump;
  };
  // The sending side, shared by the actor and any thread that sends.
  struct Output {
    std::mutex mutex;
    RTMPChunkBuffer buffer;
    std::shared_ptr<RTMPTransport> transport;
    // From the end of the handshake to the end of the transport or the close.
    bool open = false;
  };

  // Connecting.
  platform::Async<RTMPResponse> attempt(RTMPConnectionURL url);
  platform::Async<void> retireAttempt();
  void failConnectWait(uint64_t generation, std::exception_ptr error);
  platform::Async<void> createStreams();
  static platform::Async<void> receiveLoop(std::weak_ptr<RTMPConnection> weak, std::shared_ptr<RTMPTransport> transport,
                                           uint64_t generation, std::string host, int port);
  static platform::Async<void> monitorLoop(std::weak_ptr<RTMPConnection> weak,
                                           platform::AsyncStream<medley::NetworkMonitorEvent> events);
  platform::Async<bool> receive(uint64_t generation, medley::Data data);
  // The transport of `generation` ended, or the server said "close".
  platform::Async<void> transportEnded(uint64_t generation);
  void stopMonitor();
  platform::Async<void> closeQuietly();
  RTMPStatus closingStatus() const;

  // Commands.
  int64_t sendCommand(std::string commandName, AMFList arguments);

  // Streams.
  void adoptAttachedStreams();
  void addEntry(std::shared_ptr<RTMPStreamDelegate> stream);
  static platform::Async<void> createOnServer(std::shared_ptr<RTMPStreamDelegate> stream, bool reset);
  static platform::Async<void> pumpLoop(std::shared_ptr<RTMPStreamDelegate> stream,
                                        platform::AsyncStream<StreamDelivery> inbox);
  void deliverToStreams(const StreamDelivery& delivery);
  void yieldStatus(const RTMPStatus& status);

  // Receiving.
  platform::Async<void> readChunks(uint64_t generation, medley::Data data);
  void handleWindowAcknowledgementSize(const RTMPWindowAcknowledgementSizeMessage& message);
  void handlePeerBandwidth(const RTMPSetPeerBandwidthMessage& message);
  platform::Async<void> handleCommand(std::shared_ptr<RTMPCommandMessage> command);
  void handleSharedObject(std::shared_ptr<RTMPSharedObjectMessage> message);
  void handleUserControl(const RTMPMessagePtr& message, RTMPChunkType type);
  void acknowledge(const medley::NetworkMonitorEvent& event);
  void handleAcknowledgement(const RTMPAcknowledgementMessage& message);

  // Sending.
  // `owner`, when given, keeps the message alive until its chunks are written.
  int64_t output(RTMPChunkType type, RTMPChunkStreamId chunkStreamId, const RTMPMessage& message,
                 RTMPSendLane lane = RTMPSendLane::media, std::shared_ptr<const RTMPMessage> owner = nullptr);
  void openOutput(std::shared_ptr<RTMPTransport> transport);
  void closeOutput();
  // Announces the size and chunks everything after it with it, as one step.
  void announceChunkSize(uint32_t size);

  void setReadyState(ReadyState state);
  std::shared_ptr<platform::Runtime> runtime() const { return queue()->runtime(); }

  const Settings settings_;

  std::optional<RTMPConnectionURL> uri_;
  platform::Published<bool> connected_{false};
  RTMPObjectEncoding objectEncoding_ = RTMPObjectEncoding::amf0;
  std::shared_ptr<RTMPTransport> transport_;
  std::vector<StreamEntry> streams_;
  int64_t sequence_ = 0;
  uint32_t bandWidth_ = 0;
  RTMPHandshake handshake_;
  AMFList arguments_;
  ReadyState readyState_ = ReadyState::uninitialized;
  uint32_t chunkSizeS_ = RTMPChunkBuffer::kDefaultChunkSize;
  RTMPPendingCommands operations_;
  // Incoming chunks, with the per-chunk-stream records.
  RTMPChunkReader reader_;
  Output output_;
  int64_t windowSizeC_ = kAcknowledgementWindow;
  int64_t windowSizeS_ = 250000;
  // The server's acknowledgements: its last sequence number, the bytes it
  // acknowledged in all (its count wraps at 32 bits) and when the last few came.
  uint32_t peerSequence_ = 0;
  uint64_t peerAcknowledged_ = 0;
  std::deque<platform::Nanos> peerAcknowledgedAt_;
  RTMPAuthenticator authenticator_;
  std::shared_ptr<medley::NetworkMonitor> networkMonitor_;
  platform::TaskHandle<void> monitorTask_;
  // The newest status sequence, and the ones it replaced: kept open, unfinished.
  std::optional<platform::AsyncStreamWriter<RTMPStatus>> statusContinuation_;
  std::vector<platform::AsyncStreamWriter<RTMPStatus>> abandonedStatusWriters_;
  int64_t currentTransactionId_ = 1;
  SharedObjectHandler sharedObjectHandler_;

  // Streams attached from any thread, taken in on the actor.
  std::mutex attachMutex_;
  std::vector<std::shared_ptr<RTMPStreamDelegate>> attached_;

  // Each transport is one generation; bytes and ends of a retired one are ignored.
  uint64_t generation_ = 0;
  bool connecting_ = false;
  // The server accepted the current attempt's "connect".
  bool accepted_ = false;
  bool connectAborted_ = false;
  // The status of the server's refusal of the current attempt's connect.
  std::optional<RTMPStatus> refusal_;
  bool closing_ = false;
  std::vector<platform::Continuation<void>> closeWaiters_;
};

}  // namespace rtmpmedley

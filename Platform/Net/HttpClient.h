#pragma once
// An HTTP(S) client over libcurl. Requests run on one background thread (curl
// multi interface); the caller never blocks, and each completion is posted to
// the queue the caller names. TLS peers are verified against the system CA
// store (SSL_CERT_FILE / SSL_CERT_DIR honoured).
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Time/HostClock.h"

namespace platform {

enum class HttpMethod { get, put, post, head, del };

const char* httpMethodName(HttpMethod method);

// Header names compare without regard to case.
struct HeaderNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using HttpHeaders = std::map<std::string, std::string, HeaderNameLess>;

struct HttpRequest {
  HttpMethod method = HttpMethod::get;
  std::string url;  // http or https only
  HttpHeaders headers;
  // The body: bytes in memory, or a file streamed from disk (read when sent).
  std::vector<uint8_t> body;
  std::optional<std::filesystem::path> bodyFile;
  // Whole-transfer time-out (connect, send and receive); 0 means none.
  Nanos timeout = seconds(60);
  // Fails the request (timedOut) when the server has taken and given no byte for
  // this long (checked about twice a second); 0 means none. Taken means
  // acknowledged by the server's end of the connection, not handed to our own
  // socket, so a slow but steady transfer ends however small its body.
  Nanos idleLimit = 0;
  // A redirect is followed with the same headers: off for requests whose headers
  // must reach no other host. Off, the redirect comes back as the response.
  bool followRedirects = true;
  // Larger response bodies fail the request instead of growing without bound.
  size_t maxResponseBytes = 64 * 1024 * 1024;

  static HttpRequest get(std::string url);
  static HttpRequest put(std::string url, std::vector<uint8_t> body);
};

struct HttpError {
  enum class Kind {
    invalidRequest,   // bad URL, unsupported scheme, unreadable body file
    cannotResolveHost,
    cannotConnect,
    timedOut,
    tls,              // handshake or certificate verification failed
    transfer,         // the connection broke during the exchange
    responseTooLarge,
    cancelled,        // the client was shut down
  };
  Kind kind;
  std::string message;  // a sentence for logs, e.g. "Could not connect to ..."
};

struct HttpResponse {
  int statusCode = 0;
  HttpHeaders headers;  // of the final response (after redirects)
  std::vector<uint8_t> body;
  std::string effectiveUrl;

  bool isSuccess() const { return statusCode >= 200 && statusCode <= 299; }
  std::string bodyText() const { return std::string(body.begin(), body.end()); }
};

// Either a response (any status) or a transport error.
using HttpResult = std::variant<HttpResponse, HttpError>;
using HttpCompletion = std::function<void(HttpResult)>;

class HttpClient : public std::enable_shared_from_this<HttpClient> {
 public:
  // The process-wide client (its thread lives until exit).
  static std::shared_ptr<HttpClient> shared();
  // A separate client; its destructor fails what is still in flight with `cancelled`.
  static std::shared_ptr<HttpClient> make();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Starts the request and returns at once. The completion runs once on `queue`
  // (with a null queue, on the client's own thread: keep it short).
  void send(HttpRequest request, std::shared_ptr<SerialQueue> queue, HttpCompletion completion);
  // Waits at most `timeout` until no request is in flight (completions posted). True
  // when none is left.
  bool waitForInFlight(Nanos timeout);
  size_t inFlightCount() const;

  struct Impl;

 private:
  HttpClient();
  std::shared_ptr<Impl> impl_;
};

// Percent-encodes text for use as one URL path segment: everything but the
// unreserved characters (A-Z a-z 0-9 - . _ ~) is encoded, "/" included.
std::string percentEncodePathSegment(std::string_view segment);

}  // namespace platform

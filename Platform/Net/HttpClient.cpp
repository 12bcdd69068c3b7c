#include "Platform/Net/HttpClient.h"

#include "Platform/Net/TcpKernelView.h"
#include "Platform/Net/TransferIdleWatch.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <strings.h>
#include <thread>

namespace platform {

const char* httpMethodName(HttpMethod method) {
  switch (method) {
    case HttpMethod::get: return "GET";
    case HttpMethod::put: return "PUT";
    case HttpMethod::post: return "POST";
    case HttpMethod::head: return "HEAD";
    case HttpMethod::del: return "DELETE";
  }
  return "GET";
}

bool HeaderNameLess::operator()(const std::string& a, const std::string& b) const {
  return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

HttpRequest HttpRequest::get(std::string url) {
  HttpRequest r;
  r.url = std::move(url);
  return r;
}

HttpRequest HttpRequest::put(std::string url, std::vector<uint8_t> body) {
  HttpRequest r;
  r.method = HttpMethod::put;
  r.url = std::move(url);
  r.body = std::move(body);
  return r;
}

std::string percentEncodePathSegment(std::string_view segment) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(segment.size());
  for (unsigned char c : segment) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0x0F]);
    }
  }
  return out;
}

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string trimmed(std::string_view t) {
  size_t b = 0, e = t.size();
  while (b < e && std::isspace(static_cast<unsigned char>(t[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(t[e - 1]))) --e;
  return std::string(t.substr(b, e - b));
}

// One request on its way through curl. Owned by the client thread.
struct Transfer {
  HttpRequest request;
  std::shared_ptr<SerialQueue> queue;
  HttpCompletion completion;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  HttpResponse response;
  bool tooLarge = false;
  // With an idle limit: how long the peer has taken and given nothing.
  std::optional<TransferIdleWatch> idle;
  std::vector<curl_socket_t> sockets;  // open for this transfer (connection attempts included)
  bool progressFromCurl = false;       // the socket does not count: curl's own counts stand in
  // Body source.
  int fd = -1;
  uint64_t bodySize = 0;
  uint64_t bodyOffset = 0;

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headerList) curl_slist_free_all(headerList);
    if (fd >= 0) ::close(fd);
  }
};

size_t onWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->response.body.size() + n > t->request.maxResponseBytes) {
    t->tooLarge = true;
    return 0;  // makes curl fail with CURLE_WRITE_ERROR
  }
  t->response.body.insert(t->response.body.end(), data, data + n);
  return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  std::string_view line(data, n);
  if (startsWithNoCase(line, "HTTP/")) {
    // A new response (after 100 Continue or a redirect): keep only the last.
    t->response.headers.clear();
    return n;
  }
  size_t colon = line.find(':');
  if (colon != std::string_view::npos && colon > 0) {
    std::string name = trimmed(line.substr(0, colon));
    std::string value = trimmed(line.substr(colon + 1));
    auto it = t->response.headers.find(name);
    if (it == t->response.headers.end())
      t->response.headers.emplace(std::move(name), std::move(value));
    else
      it->second += ", " + value;
  }
  return n;
}

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t want = size * count;
  uint64_t left = t->bodySize - t->bodyOffset;
  size_t n = static_cast<size_t>(std::min<uint64_t>(want, left));
  if (n == 0) return 0;
  if (t->fd >= 0) {
    ssize_t r;
    do {
      r = ::pread(t->fd, buffer, n, static_cast<off_t>(t->bodyOffset));
    } while (r < 0 && errno == EINTR);
    if (r < 0) return CURL_READFUNC_ABORT;
    if (r == 0) return CURL_READFUNC_ABORT;  // the file shrank under us
    n = static_cast<size_t>(r);
  } else {
    std::memcpy(buffer, t->request.body.data() + t->bodyOffset, n);
  }
  t->bodyOffset += n;
  return n;
}

int onSeek(void* user, curl_off_t offset, int origin) {
  auto* t = static_cast<Transfer*>(user);
  if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > t->bodySize) return CURL_SEEKFUNC_FAIL;
  t->bodyOffset = static_cast<uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// The sockets of a transfer with an idle limit are its own (its connection is
// never kept for reuse), so that their counts can be read while it runs.
curl_socket_t onOpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
  auto* t = static_cast<Transfer*>(user);
  curl_socket_t fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd != CURL_SOCKET_BAD) t->sockets.push_back(fd);
  return fd;
}

int onCloseSocket(void* user, curl_socket_t fd) {
  auto* t = static_cast<Transfer*>(user);
  t->sockets.erase(std::remove(t->sockets.begin(), t->sockets.end(), fd), t->sockets.end());
  return ::close(fd);
}

// What the peer has taken and given so far. Bytes handed to the socket are no
// measure: a body that fits the send buffer is all handed over at once and then
// looks idle while the peer still reads it.
uint64_t progressOf(Transfer& t) {
  if (!t.progressFromCurl) {
    // Attempts that lost the race to connect have moved nothing: the largest count is the connection's.
    uint64_t most = 0;
    for (curl_socket_t socket : t.sockets) {
      // What the peer took (acknowledged) and gave: bytes still in our send
      // buffer do not count, so a body that fits it still shows the peer's pace.
      const auto kernel = readTcpKernelView(socket);
      if (!kernel || !kernel->countsBytes) {
        t.progressFromCurl = true;
        break;
      }
      most = std::max(most, kernel->acknowledged + kernel->received);
    }
    if (!t.progressFromCurl) return most;  // nothing open yet: the connect time-out covers it
  }
  curl_off_t up = 0, down = 0;
  curl_easy_getinfo(t.easy, CURLINFO_SIZE_UPLOAD_T, &up);
  curl_easy_getinfo(t.easy, CURLINFO_SIZE_DOWNLOAD_T, &down);
  return static_cast<uint64_t>(up) + static_cast<uint64_t>(down);
}

HttpError::Kind kindOf(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return HttpError::Kind::invalidRequest;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return HttpError::Kind::cannotResolveHost;
    case CURLE_COULDNT_CONNECT:
      return HttpError::Kind::cannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpError::Kind::timedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return HttpError::Kind::tls;
    default:
      return HttpError::Kind::transfer;
  }
}

std::string describeKind(HttpError::Kind kind) {
  switch (kind) {
    case HttpError::Kind::invalidRequest: return "Invalid request";
    case HttpError::Kind::cannotResolveHost: return "Cannot find the host";
    case HttpError::Kind::cannotConnect: return "Cannot connect to the server";
    case HttpError::Kind::timedOut: return "The request timed out";
    case HttpError::Kind::tls: return "A secure connection to the server could not be made";
    case HttpError::Kind::transfer: return "The network connection was lost";
    case HttpError::Kind::responseTooLarge: return "The response is too large";
    case HttpError::Kind::cancelled: return "The request was cancelled";
  }
  return "The request failed";
}

HttpError makeError(HttpError::Kind kind, std::string detail) {
  std::string message = describeKind(kind);
  if (!detail.empty()) message += " (" + detail + ")";
  return HttpError{kind, std::move(message)};
}

void post(const std::shared_ptr<SerialQueue>& queue, HttpCompletion completion, HttpResult result) {
  if (!completion) return;
  if (!queue) {
    completion(std::move(result));
    return;
  }
  queue->async([completion = std::move(completion), result = std::move(result)]() mutable {
    completion(std::move(result));
  });
}

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

struct HttpClient::Impl {
  CURLM* multi = nullptr;
  std::thread thread;
  mutable std::mutex mutex;
  std::condition_variable idle;
  std::deque<std::unique_ptr<Transfer>> incoming;
  size_t inFlight = 0;
  bool stopping = false;

  Impl() {
    globalInit();
    multi = curl_multi_init();
  }

  // The thread shares the state: the client may be released by a completion
  // running on that very thread, which then cannot be joined.
  static void start(const std::shared_ptr<Impl>& impl) {
    impl->thread = std::thread([impl] { impl->run(); });
  }

  void stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    curl_multi_wakeup(multi);
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();  // finishes (and cancels what is left) once the completion returns
    else
      thread.join();
  }

  ~Impl() { curl_multi_cleanup(multi); }

  void finished(std::unique_ptr<Transfer> t, HttpResult result) {
    post(t->queue, std::move(t->completion), std::move(result));
    t.reset();
    std::lock_guard lock(mutex);
    --inFlight;
    if (inFlight == 0) idle.notify_all();
  }

  // Configures the easy handle; an error when the request cannot be made.
  std::optional<HttpError> setUp(Transfer& t) {
    const HttpRequest& r = t.request;
    if (!startsWithNoCase(r.url, "http://") && !startsWithNoCase(r.url, "https://"))
      return makeError(HttpError::Kind::invalidRequest, "unsupported URL \"" + r.url + "\"");
    if (CURLU* u = curl_url()) {
      CURLUcode rc = curl_url_set(u, CURLUPART_URL, r.url.c_str(), 0);
      curl_url_cleanup(u);
      if (rc != CURLUE_OK) return makeError(HttpError::Kind::invalidRequest, "malformed URL \"" + r.url + "\"");
    }

    bool hasBody = r.method == HttpMethod::put || r.method == HttpMethod::post;
    if (hasBody && r.bodyFile) {
      t.fd = ::open(r.bodyFile->c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st {};
      int problem = 0;
      if (t.fd < 0 || ::fstat(t.fd, &st) != 0)
        problem = errno;
      else if (!S_ISREG(st.st_mode))
        problem = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      if (problem)
        return makeError(HttpError::Kind::invalidRequest,
                         "cannot read " + r.bodyFile->string() + ": " + std::strerror(problem));
      t.bodySize = static_cast<uint64_t>(st.st_size);
    } else if (hasBody) {
      t.bodySize = r.body.size();
    }

    CURL* e = curl_easy_init();
    if (!e) return makeError(HttpError::Kind::invalidRequest, "out of memory");
    t.easy = e;
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#endif
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, r.followRedirects ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    if (r.timeout > 0) curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<Nanos>(1, r.timeout / 1'000'000)));
    if (r.idleLimit > 0) {
      // Connecting moves no byte of the exchange: it gets the same limit.
      curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max<Nanos>(1, r.idleLimit / 1'000'000)));
      t.idle.emplace(r.idleLimit, monotonicNow());
      curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
      curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, onOpenSocket);
      curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &t);
      curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, onCloseSocket);
      curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, &t);
    }
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) curl_easy_setopt(e, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir) curl_easy_setopt(e, CURLOPT_CAPATH, dir);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);

    switch (r.method) {
      case HttpMethod::get: curl_easy_setopt(e, CURLOPT_HTTPGET, 1L); break;
      case HttpMethod::head: curl_easy_setopt(e, CURLOPT_NOBODY, 1L); break;
      case HttpMethod::del: curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "DELETE"); break;
      case HttpMethod::put:
        curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t.bodySize));
        break;
      case HttpMethod::post:
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.bodySize));
        break;
    }
    if (hasBody) {
      curl_easy_setopt(e, CURLOPT_READFUNCTION, onRead);
      curl_easy_setopt(e, CURLOPT_READDATA, &t);
      curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, onSeek);
      curl_easy_setopt(e, CURLOPT_SEEKDATA, &t);
    }

    // No "Expect: 100-continue" round trip before the body.
    t.headerList = curl_slist_append(t.headerList, "Expect:");
    for (const auto& [name, value] : r.headers) {
      if (name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
          value.find_first_of("\r\n") != std::string::npos)
        return makeError(HttpError::Kind::invalidRequest, "malformed header \"" + name + "\"");
      // "Name;" sends a header with an empty value.
      std::string line = value.empty() ? name + ";" : name + ": " + value;
      t.headerList = curl_slist_append(t.headerList, line.c_str());
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);
    return std::nullopt;
  }

  void complete(std::unique_ptr<Transfer> t, CURLcode code) {
    if (code == CURLE_OK) {
      long status = 0;
      curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
      t->response.statusCode = static_cast<int>(status);
      char* effective = nullptr;
      if (curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        t->response.effectiveUrl = effective;
      HttpResponse response = std::move(t->response);
      finished(std::move(t), std::move(response));
      return;
    }
    HttpError::Kind kind = t->tooLarge ? HttpError::Kind::responseTooLarge : kindOf(code);
    std::string detail = t->tooLarge ? "more than " + std::to_string(t->request.maxResponseBytes) + " bytes"
                                     : (t->errorBuffer[0] ? std::string(t->errorBuffer) : curl_easy_strerror(code));
    finished(std::move(t), makeError(kind, std::move(detail)));
  }

  // How often, at least, the idle limits are checked.
  static constexpr int kIdleCheckMillis = 500;

  // Fails the transfers whose peer has taken and given nothing for their idle limit.
  void failStalled(std::map<CURL*, std::unique_ptr<Transfer>>& active) {
    const Nanos now = monotonicNow();
    for (auto it = active.begin(); it != active.end();) {
      Transfer& t = *it->second;
      if (!t.idle || !t.idle->stalled(progressOf(t), now)) {
        ++it;
        continue;
      }
      curl_multi_remove_handle(multi, it->first);
      auto stalled = std::move(it->second);
      it = active.erase(it);
      const long limit = static_cast<long>(stalled->idle->limit() / kNanosPerSecond);
      finished(std::move(stalled), makeError(HttpError::Kind::timedOut,
                                             "the server took no byte for " + std::to_string(limit) + " s"));
    }
  }

  void run() {
    std::map<CURL*, std::unique_ptr<Transfer>> active;
    while (true) {
      std::deque<std::unique_ptr<Transfer>> fresh;
      {
        std::lock_guard lock(mutex);
        if (stopping) break;
        fresh.swap(incoming);
      }
      for (auto& t : fresh) {
        if (auto error = setUp(*t)) {
          finished(std::move(t), std::move(*error));
          continue;
        }
        CURL* easy = t->easy;
        curl_multi_add_handle(multi, easy);
        active.emplace(easy, std::move(t));
      }
      int running = 0;
      curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        CURL* easy = msg->easy_handle;
        CURLcode code = msg->data.result;
        curl_multi_remove_handle(multi, easy);
        auto it = active.find(easy);
        if (it == active.end()) continue;
        auto t = std::move(it->second);
        active.erase(it);
        complete(std::move(t), code);
      }
      failStalled(active);
      curl_multi_poll(multi, nullptr, 0, kIdleCheckMillis, nullptr);
    }
    // Shutting down: what is still in flight or queued is cancelled.
    std::deque<std::unique_ptr<Transfer>> rest;
    {
      std::lock_guard lock(mutex);
      rest.swap(incoming);
    }
    for (auto& [easy, t] : active) {
      curl_multi_remove_handle(multi, easy);
      rest.push_back(std::move(t));
    }
    for (auto& t : rest) finished(std::move(t), makeError(HttpError::Kind::cancelled, ""));
  }
};

HttpClient::HttpClient() : impl_(std::make_shared<Impl>()) { Impl::start(impl_); }
HttpClient::~HttpClient() { impl_->stop(); }

std::shared_ptr<HttpClient> HttpClient::shared() {
  // Never destroyed: its thread is not the runtime's, and destroying it at exit
  // would join that thread, which cancelling a transfer still looking up its
  // host (an upload the host abandoned, say) holds until the lookup ends.
  static auto* client = new std::shared_ptr<HttpClient>(new HttpClient());
  return *client;
}

std::shared_ptr<HttpClient> HttpClient::make() { return std::shared_ptr<HttpClient>(new HttpClient()); }

void HttpClient::send(HttpRequest request, std::shared_ptr<SerialQueue> queue, HttpCompletion completion) {
  auto t = std::make_unique<Transfer>();
  t->request = std::move(request);
  t->queue = std::move(queue);
  t->completion = std::move(completion);
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->stopping) {
      ++impl_->inFlight;
      impl_->incoming.push_back(std::move(t));
    }
  }
  if (t) {
    // Outside the lock: without a queue the completion runs here and may call back.
    post(t->queue, std::move(t->completion), makeError(HttpError::Kind::cancelled, ""));
    return;
  }
  curl_multi_wakeup(impl_->multi);
}

bool HttpClient::waitForInFlight(Nanos timeout) {
  std::unique_lock lock(impl_->mutex);
  return impl_->idle.wait_for(lock, std::chrono::nanoseconds(std::max<Nanos>(0, timeout)),
                              [&] { return impl_->inFlight == 0; });
}

size_t HttpClient::inFlightCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->inFlight;
}

}  // namespace platform

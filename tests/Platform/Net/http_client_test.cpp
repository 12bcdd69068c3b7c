#include "Platform/Net/HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>

#include "Platform/Files/ScopedEnv.h"
#include "Platform/Net/TcpListener.h"
#include "Platform/Net/TestCertificates.h"
#include "Platform/Net/TestHttpServer.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TestCertificates;
using testing::TestHttpServer;
using Reply = TestHttpServer::Reply;
using Request = TestHttpServer::Request;

class HttpClientTest : public ::testing::Test {
 protected:
  // Sends and waits for the completion; also checks it ran on our queue.
  HttpResult send(const std::shared_ptr<HttpClient>& client, HttpRequest request) {
    std::promise<HttpResult> done;
    auto future = done.get_future();
    client->send(std::move(request), queue_, [&, q = queue_](HttpResult result) {
      ranOnQueue_ = q->isCurrent();
      done.set_value(std::move(result));
    });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return future.get();
  }
  HttpResult send(HttpRequest request) { return send(HttpClient::shared(), std::move(request)); }

  static HttpResponse response(const HttpResult& r) {
    if (auto* e = std::get_if<HttpError>(&r)) ADD_FAILURE() << "unexpected error: " << e->message;
    auto* p = std::get_if<HttpResponse>(&r);
    return p ? *p : HttpResponse{};
  }
  static HttpError error(const HttpResult& r) {
    if (auto* e = std::get_if<HttpError>(&r)) return *e;
    ADD_FAILURE() << "expected an error, got status " << std::get<HttpResponse>(r).statusCode;
    return {HttpError::Kind::transfer, ""};
  }

  std::shared_ptr<SerialQueue> queue_ = SerialQueue::make("com.quarzadel.tests.http");
  bool ranOnQueue_ = false;
};

TEST_F(HttpClientTest, GetDeliversStatusHeadersAndBodyOnTheGivenQueue) {
  TestHttpServer server([](const Request& r) {
    if (r.target == "/missing") return Reply{404, {}, "nope"};  // an error status is a response, not an error
    return Reply{200, {{"X-Echo", r.header("x-token")}}, "hello " + r.target};
  });
  HttpRequest request = HttpRequest::get(server.url("/status?id=7"));
  request.headers["X-Token"] = "abc";
  HttpResponse r = response(send(request));
  EXPECT_TRUE(ranOnQueue_);
  EXPECT_EQ(r.statusCode, 200);
  EXPECT_EQ(r.bodyText(), "hello /status?id=7");
  EXPECT_EQ(r.headers.at("X-ECHO"), "abc");  // header names without regard to case
  HttpResponse missing = response(send(HttpRequest::get(server.url("/missing"))));
  EXPECT_EQ(missing.statusCode, 404);
  EXPECT_EQ(missing.bodyText(), "nope");
  EXPECT_FALSE(missing.isSuccess());
}

TEST_F(HttpClientTest, PutSendsTheBodyAndHeadersUnchanged) {
  TestHttpServer server([](const Request&) { return Reply{201, {}, ""}; });
  std::vector<uint8_t> body;
  for (int i = 0; i < 100000; ++i) body.push_back(static_cast<uint8_t>(i * 7));
  HttpRequest request = HttpRequest::put(server.url("/zone/logs/" + percentEncodePathSegment("a b/?#%~\xC3\xA9.log")), body);
  request.headers["AccessKey"] = "7f3e91a2-4b6c";
  request.headers["Content-Type"] = "application/octet-stream";
  EXPECT_TRUE(response(send(request)).isSuccess());
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const Request& got = requests[0];
  EXPECT_EQ(got.method, "PUT");
  EXPECT_EQ(got.target, "/zone/logs/a%20b%2F%3F%23%25~%C3%A9.log");  // one segment, unreserved characters kept
  EXPECT_EQ(got.header("accesskey"), "7f3e91a2-4b6c");
  EXPECT_EQ(got.header("content-type"), "application/octet-stream");
  EXPECT_EQ(got.header("expect"), "");  // no 100-continue round trip
  EXPECT_EQ(got.body, body);
}

TEST_F(HttpClientTest, PutStreamsABodyFile) {
  TestHttpServer server([](const Request&) { return Reply{204, {}, ""}; });
  fs::path file = testing::scratchDirectory("http-body") / "session.log";
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "line " + std::to_string(i) + "\n";
  std::ofstream(file, std::ios::binary) << text;
  HttpRequest request;
  request.method = HttpMethod::put;
  request.url = server.url("/upload");
  request.bodyFile = file;
  EXPECT_EQ(response(send(request)).statusCode, 204);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(std::string(requests[0].body.begin(), requests[0].body.end()), text);

  request.bodyFile = file.parent_path() / "missing.log";
  HttpError e = error(send(request));
  EXPECT_EQ(e.kind, HttpError::Kind::invalidRequest);
  EXPECT_NE(e.message.find("missing.log"), std::string::npos) << e.message;
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpClientTest, TransportFailuresHaveKindsAndReadableMessages) {
  // A port nobody listens on: take a free one and close it again.
  uint16_t closedPort = TcpListener::make()->port();
  HttpError refused = error(send(HttpRequest::get("http://127.0.0.1:" + std::to_string(closedPort) + "/")));
  EXPECT_EQ(refused.kind, HttpError::Kind::cannotConnect);

  EXPECT_EQ(error(send(HttpRequest::get("not a url"))).kind, HttpError::Kind::invalidRequest);
  HttpRequest badHeader = HttpRequest::get("http://127.0.0.1:" + std::to_string(closedPort) + "/");
  badHeader.headers["X-Injected"] = "a\r\nHost: evil";
  EXPECT_EQ(error(send(badHeader)).kind, HttpError::Kind::invalidRequest);
}

TEST_F(HttpClientTest, TimeOutAndSizeLimitBoundWhatAServerCanHold) {
  TestHttpServer server([](const Request& r) {
    return r.target == "/big" ? Reply{200, {}, std::string(100000, 'x')} : Reply{.hang = true};
  });
  HttpRequest big = HttpRequest::get(server.url("/big"));
  big.maxResponseBytes = 1000;
  EXPECT_EQ(error(send(big)).kind, HttpError::Kind::responseTooLarge);
  HttpRequest request = HttpRequest::get(server.url("/slow"));
  request.timeout = milliseconds(300);
  Nanos started = monotonicNow();
  HttpError e = error(send(request));
  Nanos took = monotonicNow() - started;
  EXPECT_EQ(e.kind, HttpError::Kind::timedOut) << e.message;
  EXPECT_GE(took, milliseconds(250));
  EXPECT_LT(took, seconds(5));
}

// The idle limit is on what the server takes and gives, not on the whole: a
// server that took the request and never answers fails it the limit later; one
// that answers at once is not held; a client destroyed meanwhile cancels it.
TEST_F(HttpClientTest, AnIdleLimitFailsAServerThatStopsAndLeavesAnAnswerAlone) {
  TestHttpServer server([](const Request& r) { return r.target == "/hang" ? Reply{.hang = true} : Reply{201}; });
  HttpRequest hanging = HttpRequest::put(server.url("/hang"), std::vector<uint8_t>(20000, 'x'));
  hanging.timeout = 0;
  hanging.idleLimit = seconds(1);
  Nanos started = monotonicNow();
  HttpError e = error(send(hanging));
  Nanos took = monotonicNow() - started;
  EXPECT_EQ(e.kind, HttpError::Kind::timedOut);
  EXPECT_EQ(e.message, "The request timed out (the server took no byte for 1 s)");
  EXPECT_GE(took, milliseconds(900));
  EXPECT_LT(took, seconds(4));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].body.size(), 20000u);

  HttpRequest answered = HttpRequest::put(server.url("/ok"), std::vector<uint8_t>(20000, 'y'));
  answered.idleLimit = seconds(1);
  EXPECT_EQ(response(send(answered)).statusCode, 201);

  std::promise<HttpResult> done;
  {
    auto client = HttpClient::make();
    client->send(hanging, queue_, [&](HttpResult r) { done.set_value(std::move(r)); });
    for (int i = 0; i < 500 && server.requests().size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(error(future.get()).kind, HttpError::Kind::cancelled);
}

TEST_F(HttpClientTest, WaitForInFlightIsBounded) {
  TestHttpServer server([](const Request& r) { return r.target == "/hang" ? Reply{.hang = true} : Reply{}; });
  auto client = HttpClient::make();
  std::promise<void> done;
  HttpRequest request = HttpRequest::get(server.url("/hang"));
  request.timeout = seconds(1);
  client->send(request, queue_, [&](HttpResult) { done.set_value(); });
  Nanos started = monotonicNow();
  EXPECT_FALSE(client->waitForInFlight(milliseconds(100)));
  EXPECT_LT(monotonicNow() - started, seconds(1));
  // After the request's own time-out nothing is left.
  EXPECT_TRUE(client->waitForInFlight(seconds(10)));
  EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST_F(HttpClientTest, DestroyingAClientCancelsWhatIsInFlight) {
  TestHttpServer server([](const Request&) { return Reply{.hang = true}; });
  std::promise<HttpResult> done;
  {
    auto client = HttpClient::make();
    client->send(HttpRequest::get(server.url("/hang")), queue_, [&](HttpResult r) { done.set_value(std::move(r)); });
    // Let the request reach the server before the client goes away.
    for (int i = 0; i < 500 && server.requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(error(future.get()).kind, HttpError::Kind::cancelled);
}

TEST_F(HttpClientTest, HttpsVerifiesTheServerAgainstTheTrustedAuthorities) {
  const auto& certs = TestCertificates::shared();
  ASSERT_TRUE(certs.ok) << "openssl could not make test certificates in " << certs.dir;
  TcpListener::Options tls;
  tls.certificateFile = certs.serverCert;
  tls.privateKeyFile = certs.serverKey;
  TestHttpServer server([](const Request&) { return Reply{200, {}, "secret"}; }, tls);

  ScopedEnv env;
  env.set("SSL_CERT_FILE", certs.caFile.string());
  EXPECT_EQ(response(send(HttpRequest::get(server.url("/", "localhost")))).bodyText(), "secret");

  env.set("SSL_CERT_FILE", certs.otherCaFile.string());
  EXPECT_EQ(error(send(HttpRequest::get(server.url("/", "localhost")))).kind, HttpError::Kind::tls);
}

// A completion run on the client's own thread (no queue) may hold the last
// reference to the client: releasing it there must not join that thread with
// itself, and later requests still end.
TEST(HttpClientLifetime, LastReferenceReleasedByACompletionOnTheClientsThread) {
  // Holds the client; once the client's release has returned, says so.
  struct Holder {
    std::shared_ptr<HttpClient> client;
    std::promise<void> released;
    ~Holder() {
      client.reset();
      released.set_value();
    }
  };
  auto holder = std::make_shared<Holder>();
  holder->client = HttpClient::make();
  auto released = holder->released.get_future();
  // Refused before any network access: completes at once on the client's thread.
  holder->client->send(HttpRequest::get("ftp://example.invalid/"), nullptr, [holder](HttpResult result) {
    EXPECT_TRUE(std::holds_alternative<HttpError>(result));
  });
  holder.reset();
  EXPECT_EQ(released.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace platform

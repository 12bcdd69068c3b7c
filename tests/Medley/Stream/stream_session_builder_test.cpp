// The registry of session factories and the builder: which factory serves a
// URL, and which errors come when.
#include <gtest/gtest.h>

#include "Medley/Sources/Stream/StreamSessionBuilder.h"
#include "Medley/Sources/Stream/StreamSessionBuilderFactory.h"
#include "Medley/Util/virtual_run.h"

using namespace medley;
using medleytest::runNow;
using platform::Async;
using Kind = StreamSessionBuilderFactory::Error::Kind;

namespace {

// A session that only remembers how it was made.
class RecordedSession final : public StreamSession {
 public:
  RecordedSession(std::string factory, std::string uri, StreamSessionMode mode,
                  std::shared_ptr<const StreamSessionConfiguration> configuration)
      : factory(std::move(factory)), uri(std::move(uri)), mode(mode), configuration(std::move(configuration)) {}
  Async<platform::AsyncStream<StreamSessionReadyState>> readyState() override {
    co_return platform::AsyncStream<StreamSessionReadyState>::finished();
  }
  Async<std::shared_ptr<StreamConvertible>> stream() override { co_return nullptr; }
  Async<void> setMaxRetryCount(int) override { co_return; }
  Async<void> connect(std::function<void()>) override { co_return; }
  Async<bool> connected() override { co_return false; }
  Async<void> close() override { co_return; }

  const std::string factory;
  const std::string uri;
  const StreamSessionMode mode;
  const std::shared_ptr<const StreamSessionConfiguration> configuration;
};

class NamedFactory final : public StreamSessionFactory {
 public:
  NamedFactory(std::string name, std::set<std::string> protocols)
      : name_(std::move(name)), protocols_(std::move(protocols)) {}
  std::set<std::string> supportedProtocols() const override { return protocols_; }
  std::shared_ptr<StreamSession> make(const std::string& uri, StreamSessionMode mode,
                                      std::shared_ptr<const StreamSessionConfiguration> c) const override {
    return std::make_shared<RecordedSession>(name_, uri, mode, std::move(c));
  }

 private:
  std::string name_;
  std::set<std::string> protocols_;
};

struct Latency final : StreamSessionConfiguration {
  nlohmann::json toJSON() const override { return {{"latency", 2}}; }
};

class StreamSessionBuilderTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<StreamSessionBuilderFactory> registry = std::make_shared<StreamSessionBuilderFactory>(rt);

  void add(std::string name, std::set<std::string> protocols) {
    runNow(rt, registry->registerFactory(std::make_shared<NamedFactory>(std::move(name), std::move(protocols))));
  }
  std::shared_ptr<RecordedSession> built(std::optional<std::string> uri,
                                         StreamSessionMode mode = StreamSessionMode::publish) {
    return std::static_pointer_cast<RecordedSession>(runNow(rt, registry->build(std::move(uri), mode, nullptr)));
  }
  template <class T>
  std::optional<Kind> errorOf(Async<T> work) {
    try {
      (void)runNow(rt, std::move(work));
    } catch (const StreamSessionBuilderFactory::Error& e) {
      return e.kind();
    }
    return std::nullopt;
  }
};

}  // namespace

TEST_F(StreamSessionBuilderTest, EqualSchemeSetsKeepTheFirstAndOverlappingOnesGoInRegistrationOrder) {
  add("first", {"rtmp", "rtmps"});
  add("second", {"rtmps", "rtmp"});
  add("overlap", {"rtmp", "srt"});
  EXPECT_EQ(built("rtmp://h/app/key")->factory, "first");
  EXPECT_EQ(built("rtmps://h/app/key")->factory, "first");
  EXPECT_EQ(built("srt://h:9000")->factory, "overlap");
  // The scheme is matched without regard to case, as URLs define it.
  EXPECT_EQ(built("RTMP://h/app/key")->factory, "first");
}

TEST_F(StreamSessionBuilderTest, AUrlWithoutSchemeIsServedOnlyByAFactoryListingTheEmptyScheme) {
  add("rtmp", {"rtmp"});
  EXPECT_EQ(errorOf(registry->build("host/app/key", StreamSessionMode::publish, nullptr)), Kind::notFound);
  // Not a scheme: a digit first, or a character a scheme cannot hold.
  EXPECT_EQ(StreamSessionBuilderFactory::scheme("1rtmp://h"), "");
  EXPECT_EQ(StreamSessionBuilderFactory::scheme("rt mp://h"), "");
  add("plain", {""});
  EXPECT_EQ(built("host/app/key")->factory, "plain");
  EXPECT_EQ(built("/local/file.flv")->factory, "plain");
}

TEST_F(StreamSessionBuilderTest, NoUrlIsAnIllegalArgumentAndAnUnservedSchemeFailsOnlyAtBuild) {
  add("rtmp", {"rtmp"});
  EXPECT_EQ(errorOf(registry->make(std::nullopt)), Kind::illegalArgument);
  EXPECT_EQ(errorOf(registry->build(std::nullopt, StreamSessionMode::playback, nullptr)), Kind::illegalArgument);
  auto builder = runNow(rt, registry->make("http://h/app/key"));
  ASSERT_TRUE(builder);
  EXPECT_EQ(errorOf(builder->build()), Kind::notFound);
}

TEST_F(StreamSessionBuilderTest, BuilderAsksForPublishUnlessToldAndPassesModeAndConfiguration) {
  add("rtmp", {"rtmp"});
  auto builder = runNow(rt, registry->make("rtmp://h/live/key"));
  EXPECT_EQ(builder->factory(), registry);
  auto session = std::static_pointer_cast<RecordedSession>(runNow(rt, builder->build()));
  EXPECT_EQ(session->mode, StreamSessionMode::publish);
  EXPECT_EQ(session->uri, "rtmp://h/live/key");
  EXPECT_FALSE(session->configuration);

  auto configuration = std::make_shared<Latency>();
  auto chained = runNow(rt, runNow(rt, builder->setMode(StreamSessionMode::playback))->setConfiguration(configuration));
  EXPECT_EQ(chained, builder);
  session = std::static_pointer_cast<RecordedSession>(runNow(rt, builder->build()));
  EXPECT_EQ(session->mode, StreamSessionMode::playback);
  EXPECT_EQ(session->configuration, configuration);
  EXPECT_EQ(session->configuration->toJSON()["latency"], 2);
}

TEST(StreamSessionReadyStateTest, RawValuesAreTheCaseNames) {
  for (auto state : {StreamSessionReadyState::connecting, StreamSessionReadyState::open,
                     StreamSessionReadyState::closing, StreamSessionReadyState::closed})
    EXPECT_EQ(makeStreamSessionReadyState(rawValue(state)), state);
  EXPECT_EQ(rawValue(StreamSessionReadyState::open), "open");
  EXPECT_FALSE(makeStreamSessionReadyState("Open"));
}

// How a session URL splits into the URL to connect to and the stream name.
#include <gtest/gtest.h>

#include "RTMPMedley/Sources/RTMP/Session/RTMPURL.h"

using rtmpmedley::RTMPURL;

namespace {

struct Row {
  std::string url;
  std::optional<std::string> connect;
  std::optional<std::string> name;
};

}  // namespace

TEST(RTMPURLTest, SplitsAfterTheApplicationAndKeepsTheQueryWithTheName) {
  const std::vector<Row> table = {
      {"rtmp://ingest.test/live/key", "rtmp://ingest.test/live", "key"},
      {"rtmp://ingest.test/app/inst/name?x=1", "rtmp://ingest.test/app", "inst/name?x=1"},
      {"rtmps://user:pw@ingest.test:443/live/key", "rtmps://user:pw@ingest.test:443/live", "key"},
      // The name may repeat the host or the application: only the tail goes.
      {"rtmp://key/live/key", "rtmp://key/live", "key"},
      {"rtmp://h/key/key", "rtmp://h/key", "key"},
      // Percent-encoded names are published as what they stand for; the connect URL stays as written.
      {"rtmp://h/live/a%20b", "rtmp://h/live", "a b"},
      {"rtmp://h/li%2Fve/key", "rtmp://h/li%2Fve", "key"},
      // Empty components count for nothing; a fragment is no part of the name.
      {"rtmp://h//live//key/", "rtmp://h//live", "key"},
      {"rtmp://h/live/key#part", "rtmp://h/live", "key"},
      // Without a name after the application: nothing to publish or play.
      {"rtmp://h/live", "rtmp://h/live", std::nullopt},
      // Without an application: nothing to connect to.
      {"rtmp://h", std::nullopt, std::nullopt},
      {"rtmp://h?x=1/live/key", std::nullopt, std::nullopt},
      {"live/key", std::nullopt, std::nullopt},
  };
  for (const auto& row : table) {
    const RTMPURL url(row.url);
    EXPECT_EQ(url.url(), row.url);
    EXPECT_EQ(url.connectURL(), row.connect) << row.url;
    EXPECT_EQ(url.streamName(), row.name) << row.url;
  }
}

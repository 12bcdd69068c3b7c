#pragma once
// An ingest of our own on a loopback port that wants a login, as servers of
// the adobe kind do: a connect without one is refused naming the method
// ("authmod=adobe"), a connect naming the user gets a salt, a challenge and an
// opaque value ("reason=needauth"), and a connect that answers them is checked
// with an MD5 and Base64 of its own (OpenSSL's) and accepted, or refused with
// "reason=authfailed". Its manner can leave the level out of its refusals
// and the opaque value out of its challenge, as some servers do; without an
// opaque value the response is made with the challenge. An accepted
// connection may publish one stream; the
// peer counts the pictures and sound that arrive on it until the client
// closes. Each refused connection is watched until the client closes it.
#include <openssl/evp.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"
#include "peers/ScriptedRTMPPeer.h"

namespace rtmptest {

// How a LoginRTMPPeer words its refusals.
struct LoginPeerManner {
  bool refusalLevel = true;  // "level" "error" in each refusal
  bool opaque = true;        // an opaque value beside the challenge
};

class LoginRTMPPeer {
 public:
  enum class Outcome { askedForUser, challenged, refusedUser, refusedResponse, accepted, gone };
  // One connection as the peer saw it; times in seconds since the peer started.
  struct Visit {
    Outcome outcome = Outcome::gone;
    double at = 0;
    // Refused connections: when the client closed it (-1: not within the bound).
    double closedAt = -1;
    // Accepted ones: the commands, and when each picture and sound packet arrived.
    std::vector<std::string> commands;
    std::vector<double> videoArrivals, audioArrivals;

    // Seconds from the first to the last arrival.
    static double span(const std::vector<double>& arrivals) {
      return arrivals.size() < 2 ? 0 : arrivals.back() - arrivals.front();
    }
  };

  static constexpr const char* kSalt = "c2FsdA==";
  static constexpr const char* kChallenge = "Q2hhbGxlbmdl";
  static constexpr const char* kOpaque = "T3BhcXVl";

  using Manner = LoginPeerManner;

  // `connections` bounds how many the peer takes in its life.
  LoginRTMPPeer(std::string user, std::string password, int connections = 40, Manner manner = {})
      : user_(std::move(user)),
        password_(std::move(password)),
        manner_(manner),
        began_(std::chrono::steady_clock::now()),
        peer_([this](PeerSession& s, int) { serve(s); }, connections) {}

  uint16_t port() const { return peer_.port(); }
  std::string url(const std::string& userInfo) const { return peer_.url("live", "rtmp", userInfo); }

  std::vector<Visit> visits() const {
    std::lock_guard lock(mutex_);
    return visits_;
  }
  int count(Outcome outcome) const {
    int n = 0;
    for (const auto& v : visits())
      if (v.outcome == outcome) ++n;
    return n;
  }

  // The Base64 of the MD5 of `text`, computed apart from the client's code.
  static std::string base64MD5(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
    unsigned char encoded[64];
    const int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(size));
    return std::string(reinterpret_cast<char*>(encoded), static_cast<size_t>(n));
  }

 private:
  double now() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count(); }

  // The query of the connect's app ("live?authmod=adobe&user=..."), values as sent.
  static std::map<std::string, std::string> query(const RTMPCommandMessage& connect) {
    std::map<std::string, std::string> out;
    const std::string* app = connect.commandObject ? connect.commandObject->at("app").string() : nullptr;
    if (!app) return out;
    const auto mark = app->find('?');
    if (mark == std::string::npos) return out;
    std::string rest = app->substr(mark + 1);
    for (size_t at = 0; at <= rest.size();) {
      const size_t end = std::min(rest.find('&', at), rest.size());
      const std::string item = rest.substr(at, end - at);
      const size_t eq = item.find('=');
      if (eq != std::string::npos) out[item.substr(0, eq)] = item.substr(eq + 1);
      at = end + 1;
    }
    return out;
  }

  void refuse(PeerSession& s, const std::string& description) {
    s.sendStatus("_error", 1, "NetConnection.Connect.Rejected", manner_.refusalLevel ? "error" : "", description);
  }

  Outcome login(PeerSession& s, const RTMPCommandMessage& connect) {
    const auto q = query(connect);
    const auto user = q.find("user");
    if (!q.count("authmod") || user == q.end()) {
      refuse(s, "[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : ");
      return Outcome::askedForUser;
    }
    if (user->second != user_) {
      refuse(s, "[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=nosuchuser&opaque=" + std::string(kOpaque));
      return Outcome::refusedUser;
    }
    const auto response = q.find("response"), challenge = q.find("challenge");
    if (response == q.end() || challenge == q.end()) {
      refuse(s, "[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=needauth&user=" + user_ + "&salt=" + kSalt +
                    "&challenge=" + kChallenge + (manner_.opaque ? std::string("&opaque=") + kOpaque : ""));
      return Outcome::challenged;
    }
    const auto opaque = q.find("opaque");
    const std::string expected =
        base64MD5(base64MD5(user_ + kSalt + password_) + (manner_.opaque ? kOpaque : kChallenge) + challenge->second);
    const bool opaqueAsSent = manner_.opaque ? opaque != q.end() && opaque->second == kOpaque : opaque == q.end();
    if (!opaqueAsSent || response->second != expected) {
      refuse(s, "[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=authfailed&opaque=" + std::string(kOpaque));
      return Outcome::refusedResponse;
    }
    s.acceptConnect(connect.transactionId);
    return Outcome::accepted;
  }

  // After the login: one stream, published, read to the client's close.
  void publish(PeerSession& s, Visit& visit) {
    while (auto r = s.readMessage()) {
      if (std::dynamic_pointer_cast<rtmpmedley::RTMPVideoMessage>(r->message)) {
        visit.videoArrivals.push_back(now());
      } else if (std::dynamic_pointer_cast<rtmpmedley::RTMPAudioMessage>(r->message)) {
        visit.audioArrivals.push_back(now());
      } else if (auto c = std::dynamic_pointer_cast<RTMPCommandMessage>(r->message)) {
        visit.commands.push_back(c->commandName);
        if (c->commandName == "createStream") s.sendResult(c->transactionId, {AMFValue(1.0)});
        if (c->commandName == "publish")
          s.sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "Started publishing.", 1);
      }
    }
  }

  void serve(PeerSession& s) {
    Visit arrival;
    arrival.at = now();
    const size_t index = record(arrival);
    if (!s.handshake()) return;
    auto connect = s.readCommand();
    if (!connect || connect->commandName != "connect") return;
    Visit visit;
    visit.outcome = login(s, *connect);
    visit.at = visits()[index].at;
    if (visit.outcome == Outcome::accepted) {
      publish(s, visit);
    } else if (s.waitForClose(platform::seconds(3))) {
      visit.closedAt = now();
    }
    std::lock_guard lock(mutex_);
    visits_[index] = std::move(visit);
  }

  size_t record(Visit visit) {
    std::lock_guard lock(mutex_);
    visits_.push_back(std::move(visit));
    return visits_.size() - 1;
  }

  const std::string user_, password_;
  const Manner manner_;
  const std::chrono::steady_clock::time_point began_;
  mutable std::mutex mutex_;
  std::vector<Visit> visits_;
  // Last: its thread runs the scripts above.
  ScriptedRTMPPeer peer_;
};

}  // namespace rtmptest

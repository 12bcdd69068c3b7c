#pragma once
// The command-line face of the application: keeps one Studio at a time (and
// refuses to open another while one is on air), relays its published changes
// to the terminal's status line, to plain lines or to JSON events, takes the
// host's keys and quit requests, runs the launch's scenario, and reports when
// the program is done. Runs on the runtime's main queue; keys and signals may
// arrive from any thread.
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Published/Subscription.h"
#include "Quarzadel/Shell/LaunchOptions.h"
#include "Quarzadel/Shell/QuitConfirmation.h"
#include "Quarzadel/Shell/ScenarioRunner.h"
#include "Quarzadel/Shell/SharePicker.h"
#include "Quarzadel/Shell/StudioActions.h"
#include "Quarzadel/Shell/StudioSnapshot.h"
#include "Quarzadel/Studio/PreviewPresenter.h"
#include "Quarzadel/Studio/StudioEngine.h"

namespace quarzadel {

class StudioShell : public StudioActions, public std::enable_shared_from_this<StudioShell> {
 public:
  enum class Mode { terminal, plain, json };

  // Exit statuses besides 0.
  static constexpr int kDidNotGoLive = 3;   // a scenario closed the Studio its go-live never got live
  static constexpr int kQuitTimedOut = 4;   // the Studio did not stop and close in time

  struct Environment {
    std::shared_ptr<platform::Runtime> runtime;
    std::shared_ptr<platform::WallClock> wallClock;
    // Makes the engine of a Studio.
    std::function<std::shared_ptr<StudioEngine>(const StudioEvent&)> makeEngine;
    // Standard output (status line, plain lines, JSON) and messages for the host.
    std::function<void(const std::string&)> write;
    std::function<void(const std::string&)> message;
    std::function<int()> columns;  // the terminal's width, 0 unknown
    // Opens the preview window of a Studio's engine; none when there is no
    // display to show it on. `onClosed` may run on any thread. Empty: no preview.
    std::function<std::shared_ptr<PreviewPresenter>(const std::shared_ptr<StudioEngine>&,
                                                    std::function<void()> onClosed)>
        openPreview;
    // How long a quit may take before the program gives up on the Studio.
    platform::Nanos quitBound = platform::seconds(8);
  };

  static std::shared_ptr<StudioShell> make(LaunchOptions options, Mode mode, Environment environment);
  StudioShell(LaunchOptions options, Mode mode, Environment environment);
  ~StudioShell() override;

  // Opens a Studio for the event; false (and a message) while the current one
  // is on air. A current idle Studio is closed first.
  bool open(const StudioEvent& event);
  // A key typed on the terminal (any thread).
  void key(char key);
  // SIGINT or SIGTERM (any thread).
  void signal(int signal);
  // Called once on the main queue when the program is done, with its exit status.
  std::function<void(int status)> onFinished;

  const StudioSnapshot& snapshot() const { return snapshot_; }
  const std::shared_ptr<StudioEngine>& engine() const { return engine_; }
  const std::shared_ptr<PreviewPresenter>& preview() const { return preview_; }

  static constexpr const char* kNoDisplay = "No X display: the Studio runs without its preview window.";
  static constexpr const char* kPreviewClosed = "The preview window was closed; the Studio goes on without it.";

  // ---- StudioActions
  void goLive() override;
  void stop() override;
  void close() override;
  void quit() override;
  void nextCamera() override;
  bool selectCamera(const std::string& query) override;
  bool selectMicrophone(const std::string& query) override;
  void setMuted(bool muted) override;
  void dismissNotice() override;
  void runNoticeAction() override;
  void shareSynthetic() override;
  bool shareScreen() override;
  bool shareWindow(const std::string& name) override;
  void stopSharing() override;
  void setFraming(const std::string& framing) override;
  void setVideoBitrate(int64_t bitsPerSecond) override;
  std::optional<std::string> onAirCameraID() const override;

 private:
  enum class Question { none, stop, quit, share };

  void subscribe();
  void onKey(char key);
  void onSignal(int signal);
  // The share key: the synthetic picture with synthetic sources, else the list to pick from.
  void offerShare();
  void pickShare(char key);
  std::vector<SharePicker::Target> shareTargets();
  void requestQuit(bool confirmed);
  void beginQuit(bool stopFirst);
  void statusChanged(const StudioEngineStatus& status);
  void finish(int status);
  void closed();
  // Output
  void emit(const nlohmann::json& event);
  void show(bool force = false);  // the status line or a plain line
  void say(const std::string& text);  // a message line that stays
  void tell(const std::string& text);  // a message for the host, off standard output unless on a terminal
  void openPreview();
  std::string question() const;
  static platform::Async<void> runStart(std::shared_ptr<StudioShell> self, std::shared_ptr<StudioEngine> engine);
  static platform::Async<void> runStop(std::shared_ptr<StudioShell> self, std::shared_ptr<StudioEngine> engine);
  static platform::Async<void> runClose(std::shared_ptr<StudioShell> self, std::shared_ptr<StudioEngine> engine,
                                        bool stopFirst, int status);

  const LaunchOptions options_;
  const Mode mode_;
  Environment env_;
  std::shared_ptr<platform::SerialQueue> main_;

  std::shared_ptr<StudioEngine> engine_;
  std::vector<platform::Subscription> subscriptions_;
  std::shared_ptr<ScenarioRunner> runner_;
  std::shared_ptr<PreviewPresenter> preview_;
  bool noDisplayTold_ = false;
  std::unique_ptr<platform::RepeatingTimer> ticker_;
  StudioSnapshot snapshot_;
  std::optional<std::string> onAirCameraID_;
  QuitConfirmation quitConfirmation_;
  Question question_ = Question::none;
  std::optional<SharePicker> picker_;
  bool closing_ = false;
  bool finished_ = false;
  bool wentLive_ = false;
  bool scriptedGoLive_ = false;
  bool scriptedClose_ = false;
  bool statusSeen_ = false;
  platform::Nanos lastLevelAt_ = 0;
  std::string lastPlainLine_;
};

}  // namespace quarzadel

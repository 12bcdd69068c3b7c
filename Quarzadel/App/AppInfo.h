#pragma once
// The application's own values that its logs name: version texts, the system it
// runs on, the web application's base URL and the snapshot folder.
#include <filesystem>
#include <string>

namespace quarzadel {

// The application's identifier prefix: its queue labels and system-log
// subsystems begin with it.
inline constexpr const char* kAppIdentifierPrefix = "quarzadel";

// The web application used when the "BaseURL" default names none.
inline constexpr const char* kDefaultBaseURL = "https://app.quarzadel.com/";

// The marketing version, the project's version in the build, e.g. "1.4".
std::string appVersion();
// The build number: the commit count of the source tree, e.g. "57", or the build
// date, e.g. "20261206", for a tree built outside its git checkout.
std::string appBuild();
// "<system> <release> <model> <architecture>", e.g.
// "Linux 6.1.0-18-amd64 ThinkPad X1 Carbon Gen 9 x86_64"; the model is the
// firmware's product name, "unknown" where the machine does not say.
std::string systemDescription();
// The "BaseURL" default when it is set and its scheme begins with "http", else
// the built-in web application.
std::string baseURL();
// The "SnapshotDir" default when set, else Snapshots in the application's data folder.
std::filesystem::path snapshotFolderURL();

// The description built from its facts (testable without the running system).
std::string makeSystemDescription(const std::string& systemName, const std::string& release,
                                  const std::string& productName, const std::string& machine);

}  // namespace quarzadel

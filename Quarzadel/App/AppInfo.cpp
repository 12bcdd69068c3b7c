#include "Quarzadel/App/AppInfo.h"

#include <sys/utsname.h>

#include <cctype>
#include <fstream>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Files/Folders.h"

#ifndef QZ_APP_VERSION
#define QZ_APP_VERSION "1.0"
#endif
#ifndef QZ_APP_BUILD
#define QZ_APP_BUILD "1"
#endif

namespace quarzadel {
namespace {
std::string trimmed(std::string s) {
  auto isSpace = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
  while (!s.empty() && isSpace(s.back())) s.pop_back();
  size_t start = 0;
  while (start < s.size() && isSpace(s[start])) ++start;
  return s.substr(start);
}

std::string productName() {
  std::ifstream in("/sys/class/dmi/id/product_name");
  std::string name;
  if (in) std::getline(in, name);
  return name;
}
}  // namespace

std::string appVersion() { return QZ_APP_VERSION[0] ? QZ_APP_VERSION : "0"; }
std::string appBuild() { return QZ_APP_BUILD[0] ? QZ_APP_BUILD : "0"; }

std::string makeSystemDescription(const std::string& systemName, const std::string& release,
                                  const std::string& product, const std::string& machine) {
  std::string model = trimmed(product);
  if (model.empty()) model = "unknown";
  return systemName + " " + release + " " + model + " " + machine;
}

std::string systemDescription() {
  utsname names{};
  if (uname(&names) != 0) return makeSystemDescription("Linux", "unknown", productName(), "unknown");
  return makeSystemDescription(names.sysname, names.release, productName(), names.machine);
}

std::string baseURL() {
  auto value = platform::UserDefaults::standard()->string("BaseURL");
  if (value) {
    auto colon = value->find(':');
    bool scheme = colon != std::string::npos && colon >= 4 && value->compare(0, 4, "http") == 0;
    for (size_t i = 0; scheme && i < colon; ++i) {
      char c = (*value)[i];
      scheme = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    }
    if (scheme) return *value;
  }
  return kDefaultBaseURL;
}

std::filesystem::path snapshotFolderURL() {
  auto value = platform::UserDefaults::standard()->string("SnapshotDir");
  if (value && !value->empty()) return *value;
  return platform::Folders::applicationSupport() / "Quarzadel" / "Snapshots";
}

}  // namespace quarzadel

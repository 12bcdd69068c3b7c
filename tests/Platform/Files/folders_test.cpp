#include "Platform/Files/Folders.h"

#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Files/ScopedEnv.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::scratchDirectory;

class FoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = scratchDirectory("folders-home");
    env_.set("HOME", home_.string());
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME",
                             "XDG_VIDEOS_DIR", "XDG_DOWNLOAD_DIR"})
      env_.unset(name);
  }
  void writeUserDirs(const std::string& text) {
    fs::create_directories(home_ / ".config");
    std::ofstream(home_ / ".config" / "user-dirs.dirs") << text;
  }
  fs::path home_;
  ScopedEnv env_;
};

TEST_F(FoldersTest, XdgVariablesWinWhenAbsoluteAndHomeHoldsTheRest) {
  env_.set("XDG_CONFIG_HOME", "/cfg");
  env_.set("XDG_DATA_HOME", "relative/data");
  env_.set("XDG_STATE_HOME", "/state");
  env_.set("XDG_DOWNLOAD_DIR", "/dl");
  EXPECT_EQ(Folders::config(), fs::path("/cfg"));
  EXPECT_EQ(Folders::applicationSupport(), home_ / ".local/share");
  EXPECT_EQ(Folders::logs(), fs::path("/state"));
  EXPECT_EQ(Folders::caches(), home_ / ".cache");
  EXPECT_EQ(Folders::videos(), home_ / "Videos");
  EXPECT_EQ(Folders::downloads(), fs::path("/dl"));
}

TEST_F(FoldersTest, UserDirsFileNamesTheVideosAndDownloadsFolders) {
  writeUserDirs(
      "# written by xdg-user-dirs-update\n"
      "XDG_VIDEOS_DIR=\"$HOME/Eigene Filme\"\n"
      "XDG_DOWNLOAD_DIR=\"/data/incoming\"\n");
  EXPECT_EQ(Folders::videos(), home_ / "Eigene Filme");
  EXPECT_EQ(Folders::downloads(), fs::path("/data/incoming"));
  env_.set("XDG_VIDEOS_DIR", "/override");  // the environment overrides the file
  EXPECT_EQ(Folders::videos(), fs::path("/override"));
  env_.unset("XDG_VIDEOS_DIR");
  writeUserDirs("XDG_VIDEOS_DIR=\"$HOME/\"\n");  // disabled: the usual folder
  EXPECT_EQ(Folders::videos(), home_ / "Videos");
}

TEST(FoldersParse, UserDirsLines) {
  const fs::path home("/home/u");
  EXPECT_EQ(Folders::parseUserDir("  XDG_VIDEOS_DIR=\"/abs/v\"", "XDG_VIDEOS_DIR", home), "/abs/v");
  EXPECT_EQ(Folders::parseUserDir("XDG_VIDEOS_DIR=\"$HOME/with \\\"quote\"", "XDG_VIDEOS_DIR", home),
            "/home/u/with \"quote");
  // The last valid line wins; invalid ones are skipped.
  EXPECT_EQ(Folders::parseUserDir("XDG_VIDEOS_DIR=\"$HOME/a\"\nXDG_VIDEOS_DIR=\"relative\"\n"
                                  "XDG_VIDEOS_DIR=\"$HOME/b\"\n",
                                  "XDG_VIDEOS_DIR", home),
            "/home/u/b");
  for (const char* bad : {"# XDG_VIDEOS_DIR=\"$HOME/x\"", "XDG_VIDEOS_DIR=$HOME/x", "XDG_VIDEOS_DIR=\"$HOME/x",
                          "XDG_VIDEOS_DIRX=\"$HOME/x\"", "XDG_VIDEOS_DIR=\"relative/x\"", "XDG_VIDEOS_DIR", ""})
    EXPECT_EQ(Folders::parseUserDir(bad, "XDG_VIDEOS_DIR", home), fs::path()) << bad;
}

TEST_F(FoldersTest, CreateMakesParentsAndReportsWhatIsInTheWay) {
  fs::path deep = home_ / "a" / "b" / "c";
  EXPECT_TRUE(Folders::create(deep));
  EXPECT_TRUE(Folders::create(deep));  // already there

  std::ofstream(home_ / "file") << "x";
  std::error_code error;
  EXPECT_FALSE(Folders::create(home_ / "file" / "sub", error));
  EXPECT_TRUE(error);
}

}  // namespace
}  // namespace platform

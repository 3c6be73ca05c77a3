#include "app/options.h"

#include <gtest/gtest.h>

namespace kestrin::app {
namespace {

using Action = Options::Action;

TEST(OptionsTest, SwitchesAndOptions) {
  struct Case {
    std::vector<std::string> args;
    Action action;
    bool silent;
  } cases[] = {
      {{}, Action::kRun, false},
      {{"/install"}, Action::kInstall, false},
      {{"-INSTALL", "/Silent"}, Action::kInstall, true},
      {{"-uninstall", "-silent"}, Action::kUninstall, true},
      {{"--help"}, Action::kHelp, false},
      {{"--version"}, Action::kVersion, false},
      {{"--bogus"}, Action::kError, false},
      {{"install2"}, Action::kError, false},
      {{"--home"}, Action::kError, false},
      {{"--web-port", "0"}, Action::kError, false},
      {{"--web-port", "65536"}, Action::kError, false},
      {{"--web-port", "80x"}, Action::kError, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Options options = ParseOptions(c.args);
    EXPECT_EQ(options.action, c.action);
    EXPECT_EQ(options.silent, c.silent);
  }
}

TEST(OptionsTest, PortsAndFoldersDefaultAndOverride) {
  Options defaults = ParseOptions({});
  EXPECT_EQ(defaults.config.web_port, 8035);
  EXPECT_EQ(defaults.config.picture_port, 7727);
  EXPECT_EQ(defaults.config.server_port, 7712);
  EXPECT_FALSE(defaults.home_given);

  Options options = ParseOptions({"--home", "/var/lib/k", "--vlc-dir", "/opt/vlc", "--web-port",
                                  "18035", "--picture-port", "17727", "--server-port", "17712"});
  EXPECT_EQ(options.action, Action::kRun);
  EXPECT_EQ(options.config.home, "/var/lib/k");
  EXPECT_TRUE(options.home_given);
  EXPECT_EQ(options.config.vlc_dir, "/opt/vlc");
  EXPECT_EQ(options.config.web_port, 18035);
  EXPECT_EQ(options.config.picture_port, 17727);
  EXPECT_EQ(options.config.server_port, 17712);
}

}  // namespace
}  // namespace kestrin::app

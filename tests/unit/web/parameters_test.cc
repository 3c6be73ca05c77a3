#include "web/parameters.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "web/status_page.h"

namespace kestrin::web {
namespace {

using Lines = std::vector<std::string>;

TEST(ParamByName, FirstLineOfThatNameDecidesAndEmptyMeansAbsent) {
  struct Case {
    Lines params;
    std::optional<std::string> want;
  } cases[] = {
      {{"img=3"}, "3"},
      {{"IMG=4"}, "4"},                   // name without regard to case
      {{"img=a=b"}, "a=b"},               // value after the first "="
      {{"img=", "img=5"}, std::nullopt},  // the first line decides; empty is absent
      {{"img"}, std::nullopt},
      {{"ximg=1", "imgx=2"}, std::nullopt},
      {{"c_handle=1", "img=7"}, "7"},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParamByName(c.params, "img"), c.want) << testing::PrintToString(c.params);
  }
}

TEST(ParamScan, RemovesEveryOccurrenceAndLaterLinesWin) {
  struct Case {
    Lines params;
    std::optional<std::string> want;
  } cases[] = {
      {{"dvs=000000000001"}, "000000000001"},
      {{"xdvs=1"}, "x1"},                // the key anywhere in the line
      {{"dvs=dvs=2"}, "2"},              // every occurrence removed
      {{"ddvs==1"}, "d=1"},              // one pass, left to right
      {{"dvs=1", "a=b", "dvs=3"}, "3"},  // later lines overwrite
      {{"DVS=1"}, std::nullopt},         // letter case respected
      {{"a=b"}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParamScan(c.params, "dvs="), c.want) << testing::PrintToString(c.params);
  }
}

TEST(ParamFirstLine, OnlyTheFirstLineCounts) {
  EXPECT_EQ(ParamFirstLine({"ruleid=1234567890123", "x=1"}, "ruleid="), "1234567890123");
  EXPECT_EQ(ParamFirstLine({"x=1", "ruleid=1234567890123"}, "ruleid="), std::nullopt);
  EXPECT_EQ(ParamFirstLine({}, "ruleid="), std::nullopt);
  EXPECT_TRUE(ParamPresent("x=1\r\nc_handle=5", "c_handle="));
  EXPECT_FALSE(ParamPresent("x=1\r\nc_handle", "c_handle="));
}

TEST(SettingsForm, EachLineFeedsOneValueByKeyPriority) {
  SettingsForm form = ParseSettingsForm({
      "apath=/photos",
      "rewrite=100",
      "url1=rtsp://h/url1=x",     // the key of camera 1 inside its own address is removed
      "url2=http://cam/apath=x",  // a camera address containing "apath=" is the folder
      "url3=udp://@:1234",
      "url4=http://h/?rewrite=5",  // ... and "rewrite=" makes it the limit
      "url9=",
      "c_handle=3883740000000",
  });
  EXPECT_EQ(form.folder, "url2=http://cam/x");
  EXPECT_EQ(form.limit, "url4=http://h/?5");
  EXPECT_EQ(form.urls[0], "rtsp://h/x");
  EXPECT_EQ(form.urls[1], "");
  EXPECT_EQ(form.urls[2], "udp://@:1234");
  EXPECT_EQ(form.urls[3], "");
  EXPECT_EQ(form.urls[8], "");
}

TEST(SettingsForm, FirstMatchingCameraKeyWinsWithinOneLine) {
  // "url1=" comes before "url2=" in camera order, wherever it stands.
  SettingsForm form = ParseSettingsForm({"url2=a url1=b"});
  EXPECT_EQ(form.urls[0], "url2=a b");
  EXPECT_EQ(form.urls[1], "");
}

TEST(ServerSettings, EveryLineIsTestedForAllThreeKeys) {
  ServerSettings s =
      ParseServerSettings({"server_ip=10.0.0.5", "server_login=admin", "server_pass=secret"});
  EXPECT_EQ(s.ip, "10.0.0.5");
  EXPECT_EQ(s.login, "admin");
  EXPECT_EQ(s.password, "secret");

  // A value holding another key feeds both.
  s = ParseServerSettings({"server_login=aserver_pass=b"});
  EXPECT_EQ(s.login, "aserver_pass=b");
  EXPECT_EQ(s.password, "server_login=ab");
  EXPECT_EQ(s.ip, "");
}

TEST(ArchiveFolder, OneTrailingSeparatorIsRemoved) {
  EXPECT_EQ(NormalizeArchiveFolder("/photos/"), "/photos");
  EXPECT_EQ(NormalizeArchiveFolder("/photos//"), "/photos/");
  EXPECT_EQ(NormalizeArchiveFolder("/photos"), "/photos");
  EXPECT_EQ(NormalizeArchiveFolder("/"), "");
}

}  // namespace
}  // namespace kestrin::web

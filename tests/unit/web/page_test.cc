#include "web/page.h"

#include <gtest/gtest.h>

#include "web/favicon.h"
#include "web/status_page.h"

namespace kestrin::web {
namespace {

bool Contains(const std::string& text, std::string_view piece) {
  return text.find(piece) != std::string::npos;
}

TEST(Resources, StylesheetAndIcon) {
  EXPECT_EQ(kStylesheet.size(), 576u);
  EXPECT_TRUE(kStylesheet.starts_with(
      "body,td,input,textarea,select{font-family:arial,sans-serif;font-size:14px;}#menu {"));
  EXPECT_TRUE(kStylesheet.ends_with("height: 2px;}"));
  EXPECT_TRUE(Contains(std::string(kStylesheet), "td {background: #FBFBFB;color: #0;\tpadding"));
  EXPECT_TRUE(Contains(std::string(kStylesheet), ".warn {background: #f4d7d7;color: #0;\tpadding"));
  EXPECT_EQ(kStylesheet.find('\n'), std::string_view::npos);

  // A PNG whose header says 32 x 32.
  std::string_view png = FaviconPng();
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), std::string_view("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(16, 8), std::string_view("\0\0\0\x20\0\0\0\x20", 8));
}

TEST(Html, EscapesMarkupAndQuotes) {
  EXPECT_EQ(HtmlEscape("<script>\"a\"&'b'</script>"),
            "&lt;script&gt;&quot;a&quot;&amp;&#39;b&#39;&lt;/script&gt;");
  EXPECT_EQ(HtmlEscape("Камера 1"), "Камера 1");
}

TEST(Html, PageFrame) {
  std::string page = WrapPage("<p>x</p>");
  EXPECT_TRUE(page.starts_with("<html lang=\"ru\"><head><meta charset=\"utf-8\">"));
  EXPECT_TRUE(page.ends_with("<body><p>x</p></body></html>"));
}

TEST(Marks, MillisecondsSince1900InLocalWallClock) {
  EXPECT_EQ(MillisSince1900({1900, 1, 1, 0, 0, 0, 0}), 0);
  EXPECT_EQ(MillisSince1900({1970, 1, 1, 0, 0, 0, 0}), 2208988800000);
  EXPECT_EQ(MillisSince1900({2021, 8, 12, 14, 5, 9, 123}),
            (44418LL * 86400 + 14 * 3600 + 5 * 60 + 9) * 1000 + 123);
  EXPECT_EQ(std::to_string(MillisSince1900Now()).size(), 13u);
}

TEST(ServerForm, ValuesEscapedAndPasswordAlwaysEmpty) {
  std::string body = ServerFormBody("10.0.0.5\"><script>", "admin");
  EXPECT_TRUE(body.starts_with("<form method=\"POST\"><table border=\"0\"><tr><td>Сервер IP:"));
  EXPECT_TRUE(Contains(body, "value=\"10.0.0.5&quot;&gt;&lt;script&gt;\""));
  EXPECT_TRUE(Contains(body, "id=\"server_login\" value=\"admin\""));
  EXPECT_TRUE(Contains(body, "id=\"server_pass\" value=\"\""));
  EXPECT_TRUE(body.ends_with("value=\"Применить\"></td></tr></form>"));
}

class StatusPageTest : public ::testing::Test {
 protected:
  StatusPageTest() {
    s.program_version = "1.0.0";
    s.vlc_version = "3.0.21";
    s.service_started = platform::MakeLocalDateTime(2024, 3, 5, 10, 20, 30);
    s.session_started = platform::NeverMark();
    s.last_message = platform::MakeLocalDateTime(2024, 3, 5, 11, 0, 1);
    s.archive_path = "/srv/photos";
    s.archive_limit = 500;
    s.form_mark = 3918000000000;
  }
  StatusSnapshot s;
};

TEST_F(StatusPageTest, HeaderTimesAndArchive) {
  std::string body = StatusPageBody(s);
  EXPECT_TRUE(
      body.starts_with(std::string(kMenuLine) + "<h3>Видеосервер 1.0.0 x64 (VLC: 3.0.21)</h3>"));
  EXPECT_TRUE(Contains(body, "<td>Видеосервер запущен:</td><td>05.03.2024 10:20:30</td>"));
  // No session yet: both lines "-", even though last_message is set.
  EXPECT_TRUE(Contains(
      body,
      "Сервер WS запущен:</td><td>-</td></tr><tr><td>Последнее событие:</td><td>-</td></tr>"));
  EXPECT_TRUE(Contains(body, "name=\"apath\" value=\"/srv/photos\"></td></tr>"));  // no hint
  EXPECT_TRUE(Contains(body, "min=\"0\" max=\"1000000\" value=\"500\">&nbsp;MB&nbsp;"));
  EXPECT_TRUE(body.ends_with(
      "</table><input type=\"hidden\" name=\"c_handle\" id=\"c_handle\" value=\"3918000000000\">"
      "<p><input type=\"submit\" value=\"Сохранить изменения\"></p></form>"));

  s.session_started = platform::MakeLocalDateTime(2024, 3, 5, 10, 21, 0);
  s.free_space = FreeSpace{1234, "/srv"};
  body = StatusPageBody(s);
  EXPECT_TRUE(Contains(body,
                       "Сервер WS запущен:</td><td>05.03.2024 10:21:00</td></tr><tr><td>Последнее "
                       "событие:</td><td>05.03.2024 11:00:01</td></tr>"));
  EXPECT_TRUE(
      Contains(body,
               "value=\"/srv/photos\"><br><span style=\"color:#8b8b8b;font-size:12px;\">1234 MB "
               "свободно на диске /srv</span></td></tr>"));

  s.free_space = FreeSpace{0, "/srv"};  // less than 1 MB: no hint
  EXPECT_FALSE(Contains(StatusPageBody(s), "свободно"));
}

TEST_F(StatusPageTest, CameraBlocks) {
  s.cameras[0].url = "http://cam/<script>\"";
  s.cameras[1].active = true;
  s.cameras[1].url = "udp://@:1234";
  s.cameras[1].v_width = 640;
  s.cameras[1].v_height = 480;
  s.cameras[1].v_starttime = platform::MakeLocalDateTime(2024, 3, 5, 10, 22, 0);
  s.cameras[1].restartcnt = 2;
  s.cameras[1].framecnt = 1500;
  s.cameras[1].saveframe = 3;
  s.cameras[1].lastfilename = "00000000004220240305102530";
  std::string body = StatusPageBody(s);

  // An inactive camera shows only its address, escaped.
  EXPECT_TRUE(Contains(body,
                       "<tr><th>Камера 1</th></tr><tr><td>URL: <input type=\"text\" size=\"80\" "
                       "name=\"url1\" id=\"url1\" value=\"http://cam/&lt;script&gt;&quot;\"><br>"
                       "</td></tr><tr><th>Камера 2</th></tr>"));
  EXPECT_TRUE(Contains(
      body,
      "value=\"udp://@:1234\"><br>Размер: 640x480&nbsp;&nbsp;|&nbsp;&nbsp;Подкл.: 05.03.2024 "
      "10:22:00&nbsp;&nbsp;|&nbsp;&nbsp;RST: 2&nbsp;&nbsp;|&nbsp;&nbsp;Кадры: 1500/3<br><a "
      "href=\"/?img=2\" target=\"_blank\">Смотреть стоп-кадр</a>&nbsp;&nbsp;|&nbsp;&nbsp;<a "
      "href=\"/getsaveframe/?dvs=000000000042&time=20240305102530\" target=\"_blank\">Смотреть "
      "последний сохраненый кадр</a></td></tr>"));
  EXPECT_TRUE(Contains(body, "<tr><th>Камера 9</th></tr>"));

  // Only a 26-character lastfilename gives the saved-frame link.
  for (const char* name : {"0000000000422024030510253", "000000000042202403051025301", ""}) {
    s.cameras[1].lastfilename = name;
    body = StatusPageBody(s);
    EXPECT_FALSE(Contains(body, "getsaveframe")) << name;
    EXPECT_TRUE(Contains(body, "Смотреть стоп-кадр</a></td></tr>")) << name;
  }
}

TEST(FreeSpace, MountPointOfAnAbsoluteFolder) {
  std::optional<FreeSpace> space = FreeSpaceOf("/proc/self");
  ASSERT_TRUE(space);
  EXPECT_EQ(space->place, "/proc");
  EXPECT_FALSE(FreeSpaceOf(""));
  EXPECT_FALSE(FreeSpaceOf("relative/folder"));
  EXPECT_FALSE(FreeSpaceOf("/no/such/folder/here"));
}

}  // namespace
}  // namespace kestrin::web

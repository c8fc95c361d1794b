// The Win32 platform's services, run under wine: the transfer control over WinINet against the
// scripted server platform_server.py, the XML document over MSXML6, the settings reader.
// Usage: platform_windows.exe http://127.0.0.1:PORT
#include "platform/FileSys.h"
#include "platform/Inet.h"
#include "platform/Profile.h"
#include "platform/XmlDoc.h"

#include <windows.h>
// The platform's reader, not the system's macro of the same name.
#undef GetPrivateProfileString

#include <cstdio>
#include <string>

namespace {
int g_failed = 0;

void Expect(bool ok, const std::string& what, const std::string& got)
{
  std::printf("%s - %s%s\n", ok ? "ok  " : "FAIL", what.c_str(), ok ? "" : (" (got \"" + got + "\")").c_str());
  g_failed += ok ? 0 : 1;
}

// The whole body of a GET, or "!" and the reason it failed.
std::string Fetch(const std::string& url, int timeoutMs = Inet::DefaultTimeoutMs)
{
  Inet inet;
  inet.SetTimeoutMs(timeoutMs);
  try {
    return inet.OpenURL(url, 1000);
  } catch (const InetError& error) {
    return "!" + error.Reason();
  }
}
// The list's reading: white space between elements is no child, a declared GBK text reads as
// UTF-8, and a document type (the way to entity bombs) is refused.
void CheckXml()
{
  XmlDocument doc;
  const bool parsed = doc.Parse("<?xml version=\"1.0\" encoding=\"GBK\"?>\n<L>\n  <F N=\"\xD6\xD0\"/>\n  <V> 2.0 </V>\n</L>\n");
  const XmlNode list = doc.SelectSingleNode("L");
  Expect(parsed && list.ChildCount() == 2, "white space is no child", std::to_string(list.ChildCount()));
  Expect(list.Child(0).Attribute("N").value_or("") == "中" && !list.Child(0).Attribute("n"), "a GBK attribute",
         list.Child(0).Attribute("N").value_or("(none)"));
  Expect(doc.SelectSingleNode("V").Text() == "2.0" && doc.SelectSingleNode("W").IsNull(), "text and a missing node",
         doc.SelectSingleNode("V").Text());
  XmlDocument bomb;
  Expect(!bomb.Parse("<!DOCTYPE L [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;\">]><L>&b;</L>")
             && !bomb.ParseErrorReason().empty(),
         "a document type is refused", bomb.ParseErrorReason());
}

// A settings file in UTF-8, and one in the ANSI code page, both read as UTF-8.
void CheckProfile()
{
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "mervo-settings-test.ini";
  wchar_t text[] = L"[Mervo]\nName = Caf\u00e9\n";
  char ansi[64];
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, sizeof ansi, nullptr, nullptr) - 1;
  for (const std::string& bytes : {std::string("\xEF\xBB\xBF[mervo]\nname=Caf\xC3\xA9\n"), std::string(ansi, size)}) {
    WriteFileAtomically(path, bytes);
    const std::string value = GetPrivateProfileString("MERVO", "NAME", "-", path);
    Expect(value == "Caf\xC3\xA9", "a settings file read as UTF-8", value);
  }
  RemoveFile(path);
}
}  // namespace

int main(int argc, char* argv[])
{
  if (argc != 2)
    return 2;
  CheckXml();
  CheckProfile();
  const std::string base = argv[1];
  struct Row {
    const char* what;
    std::string path;
    std::string expected;
    int timeoutMs;
  } rows[] = {
      {"a body", "/ok", "hello", Inet::DefaultTimeoutMs},
      {"an error status with the server's words", "/missing", "!服务器返回 HTTP 404 Not Found", Inet::DefaultTimeoutMs},
      {"50 redirects followed", "/hops/50", "hello", Inet::DefaultTimeoutMs},
      {"51 redirects refused", "/hops/51", "!重定向超过 50 次", Inet::DefaultTimeoutMs},
      {"an encoded body refused", "/gzip", "!服务器发来的是经过编码的内容（Content-Encoding: gzip），无法按原样保存",
       Inet::DefaultTimeoutMs},
      {"a body cut short", "/short", "!连接中断（已收到 5 / 10 字节）", Inet::DefaultTimeoutMs},
      {"a silent server", "/silent", "!1 秒内未收到数据", 1000},
  };
  for (const Row& row : rows) {
    const std::string got = Fetch(base + row.path, row.timeoutMs);
    Expect(got == row.expected, row.what, got);
  }

  Inet inet;
  int state = 0;
  inet.OnStateChanged = [&state](int s) { state = s; };
  inet.ExecuteFrom(base + "/range", 7, "\"v1\"");
  inet.Wait();
  const std::string told = inet.GetChunk(1000);
  Expect(told == "bytes=7-|\"v1\"" && inet.StatusCode() == 206, "a ranged request with its validator", told);
  Expect(inet.GetChunk(1000).empty() && state == Inet::icResponseCompleted, "the end of a body is told",
         std::to_string(state));

  inet.Execute(base + "/ok", "HEAD");
  inet.Wait();
  Expect(inet.GetHeader("content-length") == "5" && inet.GetHeader().rfind("HTTP/1.0 200 OK\r\n", 0) == 0,
         "headers of a HEAD, status line first", inet.GetHeader());

  std::printf("%d failed\n", g_failed);
  return g_failed == 0 ? 0 : 1;
}

// From start-up to the offer of an update: the list fetch, the version check,
// the release notes, the file table and the ways the check can stop.
#include "Program.h"
#include "frmUpdate/frmUpdate.h"
#include "platform/Events.h"
#include "platform/FileSys.h"
#include "platform/Installer.h"

#include <filesystem>

#include <doctest/doctest.h>

namespace {
const std::string UpToDate = "当前Mervo已经是最新版本，无需更新！";

Strings Row(const frmUpdate& w, int index)
{
  Strings texts;
  for (int column = 0; column < 5; ++column)
    texts.push_back(w.lvUpdateList.RowText(index, column));
  return texts;
}

// Waits until the list timer's handler has run to its end.
bool CheckFinished(const frmUpdate& w)
{
  return WaitUntil([&] { return w.IsUnloaded() || w.StatusText() != Checking; });
}
}  // namespace

// The installed version differs from the offered one only in letter case: still an update.
TEST_CASE("start-up, then an update offered with its notes and sizes")
{
  UpdaterRun run;
  run.folder.Write("setup.ini", "[Mervo]\r\n版本=1.1a\r\n");
  run.server.File("UpdList.xml", UpdateList("1.1A", {"修复 A", "B"},
                                            {{"a.dll", "1.1"}, {"sub\\big.dat", "2"}, {"c.bin", "3"}}, "mervo"));
  run.server.File("a.dll", std::string(1536, 'a'));
  Reply big;
  big.declaredLength = 5000000000;  // HEAD answers carry no body, only the length
  run.server.Route("/mrvo/sub/big.dat", big);
  Reply unknown = Reply::Ok("c");
  unknown.sendContentLength = false;
  run.server.Route("/mrvo/c.bin", unknown);
  auto w = run.Start();
  // Loading shows the window and sends nothing; the first request waits for the list timer.
  CHECK(w->IsVisible());
  CHECK(w->StatusText() == Checking);
  CHECK(w->cmdFinish->Caption() == "退出");
  DoEvents();
  CHECK(run.server.Requests().empty());
  REQUIRE(CheckFinished(*w));

  CHECK(run.server.Requests().at(0) == "HEAD /mrvo/UpdList.xml");
  CHECK(w->StatusText() == Offered);
  CHECK(run.log.shown.empty());
  CHECK(w->txtdata->Text() == "\r\n\r\n修复 A\r\n\r\nB");
  REQUIRE(w->lvUpdateList.Count() == 3);
  CHECK(Row(*w, 1) == Strings{"a.dll", "1.1", "2KB", "0%", "1536"});
  CHECK(Row(*w, 2) == Strings{"sub\\big.dat", "2", "4768.37MB", "0%", "5000000000"});
  CHECK(Row(*w, 3) == Strings{"c.bin", "3", "0KB", "0%", "1"});
  CHECK(w->cmdUpdate->Visible());
  CHECK(w->cmdFinish->Caption() == "取消");
  CHECK(w->RunApp() == run.folder.Path() + "\\mervo");
  CHECK(!w->Timer1->Active());  // else the up-to-date notice would end the offer
}

TEST_CASE("up to date: a notice, then the run ends without starting anything")
{
  UpdaterRun run;
  run.folder.Write("setup.ini", "[Mervo]\n版本=1.1\n");
  run.folder.Write("mervo", "#!/bin/sh\ntouch started\n");
  run.server.File("UpdList.xml", UpdateList("1.1", {"note"}, {{"a.dll", "1"}}, "mervo"));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  // A real box waits in its own event loop: a timer still running would show it again.
  bool timerActiveUnderBox = true;
  run.log.onNextBox = [&] { timerActiveUnderBox = w->Timer1->Active(); };
  REQUIRE(WaitUntil([&] { return w->IsUnloaded(); }));

  CHECK(run.log.Texts() == Strings{UpToDate});
  CHECK(run.log.shown.at(0).title == "提示");
  CHECK(run.log.shown.at(0).style == MsgBoxStyle::OkInformation);
  CHECK(!timerActiveUnderBox);
  CHECK(!run.folder.Exists("started"));
  CHECK(run.server.Count("GET", "/mrvo/a.dll") == 0);
}

TEST_CASE("a list that cannot be fetched ends the run")
{
  const std::string failed = "获取服务器更新列表失败!", unusable = "http://127.0.0.1:1/mrvo";
  const std::string closed = Server().BaseUrl();
  const struct {
    std::string url;  // "": the test server's
    Reply list;
    Strings messages;
    std::string title;
  } rows[] = {
      {"", Reply::Status(404, "Not Found"), {failed}, "提示"},
      {"", Reply::Status(500, "Internal Server Error"), {"服务器返回 HTTP 500 Internal Server Error", failed}, "提示"},
      {closed,
       Reply(),
       {"NetWork Error! Please make sure you computer online.", "无法连接到服务器（连接被拒绝或无应答）", failed},
       "提示"},
      {unusable, Reply(), {"更新服务器地址无效：" + unusable}, "Mervo自动更新程序"},
  };
  for (const auto& row : rows) {
    INFO(row.messages.front());
    UpdaterRun run;
    run.server.Route("/mrvo/UpdList.xml", row.list);
    auto w = LoadWindow(row.url.empty() ? run.server.BaseUrl() : row.url);
    REQUIRE(WaitUntil([&] { return w->IsUnloaded(); }));
    CHECK(run.log.Texts() == row.messages);
    CHECK(run.log.shown.back().title == row.title);
    CHECK(!w->tmrGetUpdateList->Active());
    CHECK(run.folder.Files().empty());
  }
}

TEST_CASE("a malformed list leaves the window open to leave")
{
  const std::string format = "更新列表格式错误：";
  const struct {
    std::string list;
    Strings messages;  // how each box's text begins
  } rows[] = {
      {"this is not <xml", {"ERROR：", "NewUpdList.xml没有发现!"}},
      {"<L><Version>2</Version><Updata/><Files><F Name='a.dll'/></Files><RunApp>a</RunApp></L>",
       {format + "Files 的第 1 个子节点缺少 Ver 属性"}},
      {"<L><Updata/><Files/></L>", {format + "缺少 Version 节点"}},
      {"<L><Version>2</Version><Updata/><Files><F Name=\"a\" Ver=\"1\" Size=\"12k\"/></Files><RunApp>a</RunApp></L>",
       {format + "Files 的第 1 个子节点的 Size 属性无效"}},
      {"<L><Version>2</Version><Updata/><Files><F Name=\"a\" Ver=\"1\" Size=\"-1\"/></Files><RunApp>a</RunApp></L>",
       {format + "Files 的第 1 个子节点的 Size 属性无效"}},
      {"<L><Version>2</Version><Updata/><Files><F Name=\"a\" Ver=\"1\" Sha256=\"abc\"/></Files><RunApp>a</RunApp></L>",
       {format + "Files 的第 1 个子节点的 Sha256 属性无效"}},
  };
  for (const auto& row : rows) {
    INFO(row.list);
    UpdaterRun run;
    run.server.File("UpdList.xml", row.list);
    run.server.File("a.dll", "a");
    auto w = run.Start();
    REQUIRE(WaitUntil([&] { return run.log.shown.size() >= row.messages.size(); }));
    REQUIRE(run.log.shown.size() == row.messages.size());
    for (std::size_t i = 0; i < row.messages.size(); ++i)
      CHECK_MESSAGE(StartsWith(run.log.Texts()[i], row.messages[i]), run.log.Texts()[i]);
    CHECK(!w->cmdUpdate->Visible());
    CHECK(run.server.Count("HEAD", "/mrvo/a") == 0);
    // Still usable: the finish button leaves and takes the list copy with it.
    w->cmdFinish->Click();
    CHECK(w->IsUnloaded());
    CHECK(!run.folder.Exists("NewUpdList.xml"));
  }
}

// The check ends without an offer, having asked only for the list and the files before the
// one that stopped it; nothing is installed and nothing is left to start.
TEST_CASE("the check stops without an offer")
{
  const auto unsafe = [](const std::string& name, const std::string& runApp) {
    return UpdateList("2", {}, {{"a.dll", "1"}, {name, "1"}}, runApp);
  };
  const auto invalid = [](const std::string& name) { return "更新列表中的文件名无效：" + name + "，无法继续更新 ..."; };
  const struct {
    std::string list;
    std::string status;
    std::string finish;
    int probes;  // files asked for
  } rows[] = {
      // No RunApp at all: with no files it is never read.
      {"<L><Version>2</Version><Updata/><Files/></L>", "没有可用更新，点【完成】退出...", "完成", 0},
      {UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "2"}, {"c.dll", "3"}}, "a.dll"),
       "服务器丢失 b.dll文件，无法继续更新 ...", "退出", 2},
      // Every name is checked before the first file is asked for.
      {unsafe("..\\evil.sh", "a.dll"), invalid("..\\evil.sh"), "退出", 0},
      {unsafe("a.dll", "../../bin/sh"), invalid("../../bin/sh"), "退出", 0},
      // One file on Windows: installing both would leave whichever came last.
      {UpdateList("2", {}, {{"Ÿ.dll", "1"}, {"a.dll", "1"}, {"ÿ.dll", "1"}}, "a.dll"), invalid("ÿ.dll"), "退出", 0},
  };
  for (const auto& row : rows) {
    INFO(row.status);
    UpdaterRun run;
    run.server.File("UpdList.xml", row.list);
    run.server.File("a.dll", "a");
    run.server.File("c.dll", "c");
    auto w = run.Start();
    REQUIRE(CheckFinished(*w));

    CHECK(w->StatusText() == row.status);
    CHECK(w->cmdFinish->Caption() == row.finish);
    CHECK(!w->cmdUpdate->Visible());
    CHECK(w->RunApp().empty());
    CHECK(run.log.shown.empty());
    CHECK(int(run.server.Requests().size()) - 2 == row.probes);  // HEAD and GET of the list
    CHECK(run.folder.Files() == Strings{"NewUpdList.xml"});
  }
}

TEST_CASE("unloading in the middle of a wait ends the run quietly")
{
  const std::string head = "HEAD /mrvo/UpdList.xml", get = "GET /mrvo/UpdList.xml";
  const struct {
    std::string stalled;  // the file the server never answers for
    bool upToDate;        // the notice ends the run, else the finish button does
    Strings messages;
    Strings requests;
  } rows[] = {
      {"UpdList.xml", false, {}, {head}},
      {"b.dll", false, {}, {head, get, "HEAD /mrvo/a.dll", "HEAD /mrvo/b.dll"}},
      {"a.dll", true, {UpToDate}, {head, get, "HEAD /mrvo/a.dll"}},
  };
  for (const auto& row : rows) {
    INFO(row.stalled);
    UpdaterRun run;
    if (row.upToDate)
      run.folder.Write("setup.ini", "[Mervo]\n版本=2\n");
    run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "1"}, {"c.dll", "1"}}, "a.dll"));
    for (const char* name : {"a.dll", "b.dll", "c.dll"})
      run.server.File(name, "x");
    run.server.Route("/mrvo/" + row.stalled, Reply::Stall());
    std::unique_ptr<frmUpdate> w;
    // The handler is blocked in the wait for the stalled file when the button is clicked.
    run.server.onRequest = [&](const std::string& request) {
      if (!row.upToDate && request == "HEAD /mrvo/" + row.stalled)
        PostToEventLoop([&] { w->cmdFinish->Click(); });
    };
    w = run.Start();
    int unloaded = 0;
    w->Unloaded = [&] { ++unloaded; };

    REQUIRE(WaitUntil([&] { return w->IsUnloaded(); }));
    bool turned = false;  // lets whatever is already queued run, so a late effect can show
    PostToEventLoop([&] { turned = true; });
    REQUIRE(WaitUntil([&] { return turned; }));
    CHECK(unloaded == 1);
    CHECK(run.log.Texts() == row.messages);  // neither a network error nor a failed-fetch message
    CHECK(run.server.Requests() == row.requests);
    if (!row.upToDate)
      CHECK(!run.folder.Exists("NewUpdList.xml"));
  }
}

// Under Program Files without administrator rights the lock, the run's first write, is refused.
// Whatever the answer, this run ends having fetched and written nothing.
TEST_CASE("a program folder the user may not write: a restart with administrator rights is offered")
{
  const std::string denied = "Permission denied", cancelled = "The operation was canceled by the user.";
  const struct {
    bool offered;  // the platform offers the restart (a hook stands in for Windows)
    MsgBoxResult answer;
    std::string refusal;  // the restart's outcome: "" started
    int restarts;
    std::string reasons;  // after the folder, in the last box; "": no box after the question
  } rows[] = {
      {true, MsgBoxResult::Yes, "", 1, ""},
      {true, MsgBoxResult::No, "", 0, denied},
      {true, MsgBoxResult::Yes, cancelled, 1, denied + "\r\n" + cancelled},
#ifndef _WIN32
      {false, MsgBoxResult::Yes, "", 0, denied},  // Linux asks nothing
#endif
  };
  for (const auto& row : rows) {
    INFO(row.offered, " ", row.refusal, " ", int(row.answer));
    UpdaterRun run;
    run.log.answer = row.answer;
    run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}}, "a.dll"));
    std::vector<RestartRequest> requests;
    struct Seams {
      ~Seams() { SetRunLockDenied(""), SetRestartHook(nullptr); }
    } seams;
    SetRunLockDenied(denied);
    if (row.offered)
      SetRestartHook([&](const RestartRequest& request) {
        requests.push_back(request);
        return row.refusal;
      });
    auto w = run.Start();
    DoEvents();

    const std::string folder = NativePath(run.folder.Path());
    Strings messages;
    if (row.offered)
      messages.push_back("程序文件夹不可写入：" + folder + "\r\n是否以管理员身份重新运行更新程序？");
    if (!row.reasons.empty())
      messages.push_back("无法在程序文件夹中创建锁文件：" + folder + "\r\n" + row.reasons);
    CHECK(run.log.Texts() == messages);
    REQUIRE(!run.log.shown.empty());
    CHECK(run.log.shown.front().style == (row.offered ? MsgBoxStyle::YesNoQuestion : MsgBoxStyle::OkOnly));
    REQUIRE(int(requests.size()) == row.restarts);
    if (row.restarts) {
      CHECK(requests[0].verb == "runas");
      CHECK(std::filesystem::path(requests[0].program).stem() == "test_check");
    }
    CHECK(w->IsUnloaded());
    CHECK(run.server.Requests().empty());
    CHECK(run.folder.Files().empty());
  }
}

// MervoUpdate.exe run as a user runs it and driven from outside, through its window: found by
// class, its status bar read and its buttons pressed by control id, its message boxes answered.
// Run under wine by tools/windows-blackbox.sh, which serves the releases on 127.0.0.1.
//
//   drive_updater EXE BASEURL RELEASES WORKDIR PUBLICKEY
// Without arguments it exits at once: the releases ship it as the main program that 完成 starts.
// Prints the failed checks and "N passed, N failed"; exits 0 only when every check passed.
#include "Outside.h"

namespace {
using namespace outside;

struct Setup {
  fs::path exe;
  std::string baseUrl;
  fs::path releases;
  fs::path work;
  std::string publicKey;
};

// The installed release 1.0, the files it is made of.
const std::vector<std::pair<std::string, std::string>> kOldFiles = {
    {"setup.ini", "[Mervo]\r\n版本=1.0\r\n"},
    {"mervo.exe", "Mervo 1.0\r\n"},
    {"data/readme.txt", "Mervo 1.0 data: old readme.\n"},
    {"data/user.cfg", "settings kept across updates\n"},
};

fs::path ProgramFolder(const Setup& setup, const std::string& name)
{
  const fs::path folder = setup.work / name;
  fs::remove_all(folder);
  for (const auto& [file, bytes] : kOldFiles)
    WriteAll(folder / fs::u8path(file), bytes);
  fs::copy_file(setup.exe, folder / "MervoUpdate.exe");
  return folder;
}

void ExpectOriginals(const fs::path& folder, const std::string& name)
{
  for (const auto& [file, bytes] : kOldFiles)
    Expect(ReadAll(folder / fs::u8path(file)) == bytes, name + ": " + file + " changed");
}

// Every file of the release is in the folder byte for byte.
void ExpectInstalled(const fs::path& folder, const fs::path& release, const std::string& name)
{
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(release)) {
    const std::string file = fs::relative(entry.path(), release).generic_u8string();
    if (!entry.is_regular_file() || file.rfind("UpdList.xml", 0) == 0)
      continue;
    ++files;
    Expect(ReadAll(folder / entry.path().lexically_relative(release)) == ReadAll(entry.path()),
           name + ": " + file + " not installed byte for byte");
  }
  Expect(files >= 4 && fs::exists(folder / "sub" / "data.dat"), name + ": the release is not all there");
  Expect(ReadAll(folder / "data" / "user.cfg") == kOldFiles[3].second, name + ": a file of the user's changed");
}

// Starts the updater of folder against release; the box says it is up to date, and it ends.
void ExpectUpToDate(const Setup& setup, const fs::path& folder, const std::string& release, const std::string& name)
{
  Updater updater;
  Expect(Start(updater, folder / "MervoUpdate.exe", setup.baseUrl + release + "/mrvo/", ""), name + ": not started");
  const std::string text = AnswerBox(updater, IDOK);
  Expect(text.find("已经是最新版本") != std::string::npos, name + ": box says \"" + text + "\"");
  Expect(updater.WaitForEnd(), name + ": still running after the box");
}

// Starts the updater in a fresh folder against release: the offer, with nothing touched yet.
bool Offered(Updater& updater, const Setup& setup, const std::string& name, const std::string& release,
             const std::string& key = "")
{
  const fs::path folder = ProgramFolder(setup, name);
  Expect(Start(updater, folder / "MervoUpdate.exe", setup.baseUrl + release + "/mrvo/", key), name + ": not started");
  const bool offered = WaitForStatus(updater, "发现更新文件 ，点【更新】开始更新...") && !updater.Ended();
  ExpectOriginals(folder, name);
  return offered;
}

// Presses 更新, sees the update through and presses 完成, which ends the run.
void WholeUpdate(const Setup& setup, const std::string& name, const std::string& release, const std::string& key)
{
  Updater updater;
  if (!Offered(updater, setup, name, release, key))
    return;
  Press(updater, 1005);
  if (!WaitForStatus(updater, "更新完成！"))
    return;
  ExpectInstalled(setup.work / name, setup.releases / release / "mrvo", name);
  Press(updater, 1004);
  Expect(updater.WaitForEnd(), name + ": still running after 完成");
}

// A download that fails, or an install of which one target another program holds open:
// the box names what failed, and every original is still there.
void FailedUpdate(const Setup& setup, const std::string& name, const std::string& release, const char* held,
                  const std::vector<std::string>& expected)
{
  Updater updater;
  const fs::path folder = setup.work / name;
  if (!Offered(updater, setup, name, release))
    return;
  const HANDLE holder = held ? CreateFileW((folder / held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
  Press(updater, 1005);
  const std::string text = AnswerBox(updater, IDOK);
  if (holder != INVALID_HANDLE_VALUE)
    CloseHandle(holder);
  for (const std::string& part : expected)
    Expect(text.find(part) != std::string::npos, name + ": box says \"" + text + "\"");
  // The new file is gone again; a failed download never made its folder.
  Expect(!fs::exists(folder / (held ? "sub/data.dat" : "sub")), name + ": sub\\ or its new file is there");
  ExpectOriginals(folder, name);
}

// A release that lists the updater's own exe: the running one is moved aside, and the next
// start of the new one removes the copy without a word (that run said it was done).
void SelfUpdate(const Setup& setup)
{
  WholeUpdate(setup, "self", "self", "");
  const fs::path folder = setup.work / "self";
  Expect(fs::exists(folder / "MervoUpdate.exe.updbak~"), "self: the running exe was not kept aside");
  ExpectUpToDate(setup, folder, "self", "self, started again");
  Expect(!fs::exists(folder / "MervoUpdate.exe.updbak~") && !fs::exists(folder / "MervoUpdate.journal"),
         "self: the kept-aside exe or the record is still there");
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 6)
    return 0;
  const Setup setup{fs::u8path(argv[1]), argv[2], fs::u8path(argv[3]), fs::u8path(argv[4]), argv[5]};
  fs::create_directories(setup.work);
  const fs::path upToDate = ProgramFolder(setup, "uptodate");
  ExpectUpToDate(setup, upToDate, "same", "uptodate");
  ExpectOriginals(upToDate, "uptodate");
  WholeUpdate(setup, "update", "rel", "");
  FailedUpdate(setup, "failed", "bad", nullptr, {"文件下载失败：", "\r\n未更新任何文件。"});
  // Wine names no program that holds a file, and then nothing follows the system's reason.
  FailedUpdate(setup, "held", "rel", "setup.ini",
               {"文件安装失败：setup.ini\r\n无法保留原文件的副本：", ")\r\n已恢复原有文件。"});
  WholeUpdate(setup, "signed", "signed", setup.publicKey);
  SelfUpdate(setup);
  return checks::Summary();
}

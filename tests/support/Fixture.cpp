#include "Fixture.h"

#include "frmUpdate/frmUpdate.h"
#include "platform/FileSys.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QApplication>
#include <QStandardPaths>
#include <QTest>

MessageLog::MessageLog()
{
  SetMsgBoxHook([this](const MsgBoxRequest& request) {
    shown << ShownBox{Q(request.text), Q(request.title), request.style};
    return request.style == MsgBoxStyle::YesNoQuestion ? answer : MsgBoxResult::Ok;
  });
}

MessageLog::~MessageLog()
{
  SetMsgBoxHook(nullptr);
}

ProgramFolder::ProgramFolder()
{
  SetAppPath(m_dir.path().toStdString());
}

ProgramFolder::~ProgramFolder()
{
  SetAppPath(std::string());
}

void ProgramFolder::Write(const QString& name, const QByteArray& data) const
{
  WriteFile(m_dir.filePath(QString(name).replace(u'\\', u'/')), data);
}

QByteArray ProgramFolder::Read(const QString& name) const
{
  QFile file(m_dir.filePath(QString(name).replace(u'\\', u'/')));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList ProgramFolder::Files() const
{
  QStringList files;
  QDirIterator it(m_dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = QDir(m_dir.path()).relativeFilePath(it.next());
    if (file != QLatin1String("MervoUpdate.log") && file != QLatin1String("MervoUpdate.lock"))
      files << file;
  }
  files.sort();
  return files;
}

QByteArray UpdateList(const QString& version, const QStringList& notes,
                      const QList<QPair<QString, QString>>& files, const QString& runApp)
{
  auto escape = [](const QString& text) { return text.toHtmlEscaped(); };
  QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>\n");
  xml += QStringLiteral("  <Version>%1</Version>\n  <Updata>\n").arg(escape(version));
  for (const QString& note : notes)
    xml += QStringLiteral("    <Note Info=\"%1\"/>\n").arg(escape(note));
  xml += QStringLiteral("  </Updata>\n  <Files>\n");
  for (const auto& file : files)
    xml += QStringLiteral("    <File Name=\"%1\" Ver=\"%2\"/>\n").arg(escape(file.first), escape(file.second));
  xml += QStringLiteral("  </Files>\n  <RunApp>%1</RunApp>\n</UpdateList>\n").arg(escape(runApp));
  return xml.toUtf8();
}

bool WriteFile(const QString& path, const QByteArray& data)
{
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray ReadFile(const QString& path)
{
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

QByteArray Bytes(qsizetype size, int seed)
{
  QByteArray data(size, Qt::Uninitialized);
  for (qsizetype i = 0; i < size; ++i)
    data[i] = char((i * 2654435761u + unsigned(seed)) >> 11);
  return data;
}

bool RunMinisign(const QString& dir, const QStringList& arguments)
{
  const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
  if (minisign.isEmpty())
    return false;
  QProcess process;
  process.setWorkingDirectory(dir);
  process.setStandardInputFile(QProcess::nullDevice());
  process.start(minisign, arguments);
  return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool Ended(const frmUpdate& window)
{
  return QTest::qWaitFor([&] { return window.cmdFinish->Enabled() || window.IsUnloaded(); }, 10000);
}

QWidget* WindowWidget()
{
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (widget->objectName() == QLatin1String("frmUpdate"))
      return widget;
  return nullptr;
}

std::unique_ptr<frmUpdate> LoadWindow(const QString& updateUrl)
{
  qputenv("MERVO_UPDATE_URL", updateUrl.toUtf8());
  auto window = std::make_unique<frmUpdate>();
  window->Form_Load();
  return window;
}

std::unique_ptr<frmUpdate> UpdaterRun::Start() const
{
  return LoadWindow(server.BaseUrl());
}

#include "Fixture.h"

#include "frmUpdate/frmUpdate.h"
#include "platform/FileSys.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

MessageLog::MessageLog()
{
  SetMsgBoxHook([this](const MsgBoxRequest& request) {
    shown << request;
    if (onNextBox) {
      auto run = std::move(onNextBox);
      onNextBox = nullptr;
      run();
    }
    return request.style == MsgBoxStyle::YesNoQuestion ? answer : MsgBoxResult::Ok;
  });
}

MessageLog::~MessageLog()
{
  SetMsgBoxHook(nullptr);
}

QStringList MessageLog::Texts() const
{
  QStringList texts;
  for (const MsgBoxRequest& request : shown)
    texts << request.text;
  return texts;
}

ProgramFolder::ProgramFolder()
{
  SetAppPath(m_dir.path());
}

ProgramFolder::~ProgramFolder()
{
  SetAppPath(QString());
}

void ProgramFolder::Write(const QString& name, const QByteArray& data) const
{
  const QString path = m_dir.filePath(QString(name).replace(u'\\', u'/'));
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
    file.write(data);
}

QByteArray ProgramFolder::Read(const QString& name) const
{
  QFile file(m_dir.filePath(QString(name).replace(u'\\', u'/')));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool ProgramFolder::Exists(const QString& name) const
{
  return QFileInfo::exists(m_dir.filePath(QString(name).replace(u'\\', u'/')));
}

QStringList ProgramFolder::Files() const
{
  QStringList files;
  QDirIterator it(m_dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = QDir(m_dir.path()).relativeFilePath(it.next());
    if (file != QLatin1String("MervoUpdate.log"))
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

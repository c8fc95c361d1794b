#include "platform/Log.h"

#include "platform/FileSys.h"

#include <QDateTime>
#include <QFile>

namespace {
constexpr qint64 MaxLogBytes = 1024 * 1024;

class LogFile {
public:
  ~LogFile() { m_file.close(); }

  void Append(const QString& text)
  {
    const QString path = QString::fromStdString(NativePath(AppPath() + '\\' + LogName()));
    if (path != m_file.fileName())
      Open(path);
    QString line = text;
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" / ")).replace(u'\n', QStringLiteral(" / "));
    const QByteArray bytes =
        (QDateTime::currentDateTime().toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
             .toString(Qt::ISODate)
         + u' ' + line + u'\n')
            .toUtf8();
    if (m_file.isOpen() && m_size + bytes.size() > MaxLogBytes)
      Rotate(path);
    if (m_file.isOpen() && m_file.write(bytes) == bytes.size())
      m_size += bytes.size();
  }

  void Flush()
  {
    if (m_file.isOpen())
      m_file.flush();
  }

private:
  void Open(const QString& path)
  {
    m_file.close();
    m_file.setFileName(path);
    m_file.open(QIODevice::WriteOnly | QIODevice::Append);
    m_size = m_file.isOpen() ? m_file.size() : 0;
  }

  void Rotate(const QString& path)
  {
    m_file.close();
    RenameOver(path.toStdString(), path.toStdString() + ".1");
    Open(path);
  }

  QFile m_file;
  qint64 m_size = 0;
};

LogFile& Log()
{
  static LogFile log;
  return log;
}
}

void LogEvent(const std::string& text)
{
  Log().Append(QString::fromStdString(text));
}

void FlushLog()
{
  Log().Flush();
}

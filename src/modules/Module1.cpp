#include "modules/Module1.h"

#include "platform/Profile.h"

QString strIniFile;

namespace {
// Removes spaces (and only spaces) from both ends.
QString TrimSpaces(const QString& text)
{
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text[first] == u' ')
    ++first;
  while (last > first && text[last - 1] == u' ')
    --last;
  return text.mid(first, last - first);
}
}

void SetIniFile(const QString& path)
{
  strIniFile = TrimSpaces(path);
}

QString ReadIni(const QString& section, const QString& key)
{
  // The value lands in a 1024-character buffer of spaces, terminated by a NUL;
  // the buffer is trimmed and its NULs dropped.
  constexpr int BufferSize = 1024;
  const QString value = GetPrivateProfileString(section, key, QString(), strIniFile);
  QString buffer = value.left(BufferSize - 1) + QChar(u'\0');
  buffer += QString(BufferSize - buffer.size(), u' ');
  return TrimSpaces(buffer).remove(QChar(u'\0'));
}

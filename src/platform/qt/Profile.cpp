#include "platform/Profile.h"

#include "platform/FileSys.h"

#include <QFile>
#include <QStringDecoder>

#include <optional>

namespace {
QString DecodeSettings(QByteArray bytes)
{
  if (bytes.startsWith("\xEF\xBB\xBF"))
    bytes.remove(0, 3);
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8(bytes);
  if (!utf8.hasError())
    return text;
  // Written by the product on Windows in the Chinese ANSI code page.
  QStringDecoder gb18030("GB18030");
  return gb18030.isValid() ? gb18030(bytes) : text;
}

// Only ASCII letters fold, as in the Windows service's own comparison of names.
bool SameName(QStringView a, QStringView b)
{
  if (a.size() != b.size())
    return false;
  for (qsizetype i = 0; i < a.size(); ++i) {
    QChar x = a[i];
    QChar y = b[i];
    if (x.unicode() < 128)
      x = x.toLower();
    if (y.unicode() < 128)
      y = y.toLower();
    if (x != y)
      return false;
  }
  return true;
}

// The value; nullopt when the file, the section or the key is missing.
std::optional<QString> ProfileString(const QString& section, const QString& key, const QString& path)
{
  QFile file(QString::fromStdString(NativePath(path.toStdString())));
  if (!file.open(QIODevice::ReadOnly))
    return std::nullopt;
  const QString text = DecodeSettings(file.readAll());

  bool inSection = false;
  bool sectionSeen = false;
  for (QStringView line : QStringView(text).split(u'\n')) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith(u';'))
      continue;
    if (line.startsWith(u'[')) {
      // Only the first section of that name counts.
      if (sectionSeen)
        break;
      const qsizetype close = line.indexOf(u']');
      const QStringView name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
      inSection = SameName(name, section);
      sectionSeen = inSection;
      continue;
    }
    if (!inSection)
      continue;
    const qsizetype equals = line.indexOf(u'=');
    if (equals < 0)
      continue;
    if (SameName(line.left(equals).trimmed(), key))
      return line.mid(equals + 1).trimmed().toString();
  }
  return std::nullopt;
}
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path)
{
  const std::optional<QString> value =
      ProfileString(QString::fromStdString(section), QString::fromStdString(key), QString::fromStdString(path));
  return value ? value->toStdString() : defaultValue;
}

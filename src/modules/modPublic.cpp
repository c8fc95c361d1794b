#include "modules/modPublic.h"

#include "engine/Names.h"

#include "platform/FileSys.h"
#include "platform/Inet.h"

#include <QUrl>

#include <algorithm>
#include <limits>

QString GetDirPart(const QString& text, const QString& separator)
{
  const qsizetype at = text.lastIndexOf(separator);
  return at < 0 ? QString() : text.left(at + separator.size());
}

QString AddBackslash(const QString& path)
{
  return path.endsWith(u'\\') ? path : path + u'\\';
}

bool MakeDir(const QString& path)
{
  return MakeSureDirectoryPathExists(AddBackslash(path));
}

bool FileExists(const QString& path, int attributes)
{
  return PathHasEntry(path, (attributes & vbDirectory) != 0);
}

QString FileUrl(const QString& baseUrl, const QString& name)
{
  QString path = name;
  path.replace(u'\\', u'/');
  QStringList segments;
  for (const QString& segment : path.split(u'/'))
    segments << QString::fromLatin1(QUrl::toPercentEncoding(segment));
  return baseUrl + segments.join(u'/');
}

bool IsMissingOnServer(const Inet& client)
{
  // Servers differ in the reason phrase ("File not found", none at all on HTTP/2),
  // so the status itself counts too.
  const int status = client.StatusCode();
  if (status == 404 || status == 410)
    return true;
  const QString header = client.GetHeader();
  return header.contains(QLatin1String("Not Found")) && header.contains(QLatin1String("404"));
}

qint64 ContentLengthOf(const QString& value)
{
  qint64 size = 0;
  for (const QChar c : value.trimmed()) {
    if (c < u'0' || c > u'9')
      break;
    if (size > (std::numeric_limits<qint64>::max() - 9) / 10)
      return 0;
    size = size * 10 + (c.unicode() - u'0');
  }
  return size;
}

QString FormatFileSize(qint64 bytes)
{
  constexpr qint64 KiB = 1024;
  constexpr qint64 MiB = 1024 * 1024;
  if (bytes < MiB)
    return QStringLiteral("%1KB").arg((bytes + KiB / 2) / KiB);
  const qint64 hundredths = (bytes / MiB) * 100 + ((bytes % MiB) * 100 + MiB / 2) / MiB;
  return QStringLiteral("%1.%2MB").arg(hundredths / 100).arg(hundredths % 100, 2, 10, QLatin1Char('0'));
}

bool IsSafeRelativeName(const QString& name)
{
  const std::string text = name.toStdString();
  return engine::IsSafeRelativeName(text) && !engine::IsUpdaterFile(text);
}

bool IsValidUpdateUrl(const QString& url)
{
  const QUrl parsed(url, QUrl::StrictMode);
  const QString scheme = parsed.scheme();
  return parsed.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
         && !parsed.host().isEmpty() && url.endsWith(u'/');
}

bool DownloadFile(Inet& client, const QString& baseUrl, const QString& remoteName,
                  const QString& localName, QString* failure)
{
  failure->clear();
  try {
    client.URL = FileUrl(baseUrl, remoteName);
    client.Execute(client.URL, QStringLiteral("HEAD"));
    client.Wait();
    if (IsMissingOnServer(client))
      return false;
    // No answer at all: a GET would only fail the same way.
    if (client.StatusCode() == 0)
      throw InetError(client.FailureReason());
    const QByteArray body = client.OpenURL(client.URL, MaxListBytes);
    const QString written = WriteFileAtomically(AppPath() + u'\\' + localName, body);
    if (!written.isEmpty())
      throw InetError(written);
    return true;
  } catch (const InetError& error) {
    *failure = error.Reason();
    return false;
  }
}

int ProgressPercent(qint64 done, qint64 total)
{
  if (total <= 0)
    return 0;
  // In integers: a floating-point quotient turns exact halves such as 57.5 into 57.4999...
  const __int128 scaled = static_cast<__int128>(done) * 100;
  qint64 percent = static_cast<qint64>(scaled / total);
  const __int128 twiceRest = (scaled % total) * 2;
  if (twiceRest > total || (twiceRest == total && percent % 2 == 1))
    ++percent;
  return static_cast<int>(std::min<qint64>(percent, 100));
}

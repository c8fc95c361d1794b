#include "modules/modSign.h"

#include "modules/modPublic.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/Inet.h"

#include <QDateTime>

#include <optional>

namespace {
// The newest signature time accepted so far: nullopt when none was recorded, and
// *unreadable set when the record is there but holds no time.
std::optional<qint64> AcceptedTimestamp(const QString& statePath, bool* unreadable)
{
  *unreadable = false;
  if (!FileExists(statePath, vbDirectory))
    return std::nullopt;
  QByteArray state;
  if (ReadSmallFile(statePath, 4096, &state))
    for (const QByteArray& line : state.split('\n'))
      if (line.startsWith("timestamp="))
        if (const std::optional<qint64> value = UnixTimeOf(QString::fromLatin1(line.mid(10).trimmed())))
          return value;
  *unreadable = true;
  return std::nullopt;
}

// Whether the list is no older than what was accepted before; "" or a reason.
QString CheckReplay(const std::optional<qint64>& timestamp, qint64 minListTime, const QString& statePath)
{
  bool unreadable = false;
  const std::optional<qint64> accepted = AcceptedTimestamp(statePath, &unreadable);
  if (unreadable)
    return QStringLiteral("无法读取签名时间记录 ") + statePath.mid(statePath.lastIndexOf(u'\\') + 1);
  if (!accepted && minListTime <= 0)
    return QString();
  if (!timestamp)
    return QStringLiteral("签名中没有时间戳，无法确认更新列表不是旧的");
  if (accepted && *timestamp < *accepted)
    return QStringLiteral("更新列表比上次使用的旧");
  if (*timestamp < minListTime)
    return QStringLiteral("更新列表签名早于本程序认可的最早时间");
  return QString();
}
}

ListTrust& BuiltInTrust()
{
  static ListTrust trust{QStringLiteral(MERVO_DEFAULT_PUBLIC_KEY).trimmed(), qint64(MERVO_MIN_LIST_TIME)};
  return trust;
}

QString ConfiguredPublicKey()
{
  // The environment may add a key, never take the built-in one away.
  if (!BuiltInTrust().publicKey.isEmpty())
    return BuiltInTrust().publicKey;
  return qEnvironmentVariable("MERVO_PUBLIC_KEY").trimmed();
}

QString VerifyListSignature(Inet& client, const QString& baseUrl, const QString& signatureName, const QByteArray& list,
                            const QString& publicKey, MinisignResult* signature)
{
  QByteArray signatureFile;
  try {
    client.URL = FileUrl(baseUrl, signatureName);
    signatureFile = client.OpenURL(client.URL, MaxSignatureBytes);
  } catch (const InetError& error) {
    return QStringLiteral("无法获取签名文件（%1）").arg(error.Reason());
  }
  *signature = VerifyMinisign(publicKey, list, signatureFile);
  return signature->ok ? QString() : signature->reason;
}

QString CheckListFreshness(const MinisignResult& signature, const QString& listName, qint64 minListTime,
                           const QString& statePath)
{
  const QString replay = CheckReplay(signature.timestamp, minListTime, statePath);
  if (!replay.isEmpty())
    return replay;
  if (const std::optional<QString> expires = TrustedCommentField(signature.trustedComment, QStringLiteral("expires"))) {
    const std::optional<qint64> time = UnixTimeOf(*expires);
    if (!time)
      return QStringLiteral("签名中的过期时间无效");
    if (*time < QDateTime::currentSecsSinceEpoch())
      return QStringLiteral("更新列表已过期");
  }
  // A signature made for another file of the publisher's must not pass for the list.
  const std::optional<QString> file = TrustedCommentField(signature.trustedComment, QStringLiteral("file"));
  if (file && *file != listName)
    return QStringLiteral("签名针对的是 %1，不是 %2").arg(*file, listName);
  return QString();
}

QString RecordListTime(const QString& statePath, qint64 timestamp)
{
  return WriteFileAtomically(statePath, "timestamp=" + QByteArray::number(timestamp) + '\n');
}

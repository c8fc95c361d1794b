#include "modules/modSign.h"

#include "modules/modPublic.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/Inet.h"

#include <optional>

namespace {
// The newest signature time accepted; nullopt when none was recorded yet.
std::optional<qint64> AcceptedTimestamp(const QString& statePath)
{
  QByteArray state;
  if (!ReadSmallFile(statePath, 4096, &state))
    return std::nullopt;
  for (const QByteArray& line : state.split('\n'))
    if (line.startsWith("timestamp=")) {
      bool ok = false;
      const qint64 value = line.mid(10).trimmed().toLongLong(&ok);
      if (ok)
        return value;
    }
  return std::nullopt;
}
}

QString ConfiguredPublicKey()
{
  if (qEnvironmentVariableIsSet("MERVO_PUBLIC_KEY"))
    return qEnvironmentVariable("MERVO_PUBLIC_KEY").trimmed();
  return QStringLiteral(MERVO_DEFAULT_PUBLIC_KEY).trimmed();
}

QString VerifyListSignature(Inet& client, const QString& baseUrl, const QString& signatureName,
                            const QString& listPath, const QString& publicKey, const QString& statePath)
{
  QByteArray signature;
  try {
    client.URL = FileUrl(baseUrl, signatureName);
    signature = client.OpenURL(client.URL, MaxSignatureBytes);
  } catch (const InetError& error) {
    return QStringLiteral("无法获取签名文件（%1）").arg(error.Reason());
  }
  QByteArray list;
  if (!ReadSmallFile(listPath, MaxListBytes, &list))
    return QStringLiteral("无法读取已下载的更新列表");

  const MinisignResult result = VerifyMinisign(publicKey, list, signature);
  if (!result.ok)
    return result.reason;
  const std::optional<qint64> accepted = AcceptedTimestamp(statePath);
  if (accepted && !result.timestamp)
    return QStringLiteral("签名中没有时间戳，无法确认更新列表不比上次使用的旧");
  if (accepted && *result.timestamp < *accepted)
    return QStringLiteral("更新列表比上次使用的旧");
  if (result.timestamp && (!accepted || *result.timestamp > *accepted)) {
    const QString failure =
        WriteFileAtomically(statePath, "timestamp=" + QByteArray::number(*result.timestamp) + '\n');
    if (!failure.isEmpty())
      return QStringLiteral("无法记录签名时间（%1）").arg(failure);
  }
  return QString();
}

#include "modules/modXml.h"

#include "modules/modPublic.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"

bool ReadXmlFile(const QString& path, QByteArray* data, QString* reason)
{
  reason->clear();
  return FileExists(path, 0) && ReadSmallFile(path, MaxListBytes, data, reason);
}

bool LoadXml(const QByteArray& data, XmlDocumentPtr& document, QString* reason)
{
  reason->clear();
  auto fresh = std::make_shared<XmlDocument>();
  if (!fresh->Parse(data)) {
    *reason = fresh->ParseErrorReason();
    return false;
  }
  document = std::move(fresh);
  return true;
}

bool LoadXml(const QString& path, XmlDocumentPtr& document, QString* reason)
{
  QByteArray data;
  return ReadXmlFile(path, &data, reason) && LoadXml(data, document, reason);
}

XmlNode RequireNode(const XmlDocument& document, const QString& elementName)
{
  XmlNode node = document.SelectSingleNode(elementName);
  if (node.IsNull())
    throw ListFormatError(QStringLiteral("缺少 %1 节点").arg(elementName));
  return node;
}

QString RequireAttribute(const XmlNode& child, const QString& parentName, int index,
                         const QString& attributeName)
{
  const std::optional<QString> value = child.Attribute(attributeName);
  if (!value)
    throw ListFormatError(
        QStringLiteral("%1 的第 %2 个子节点缺少 %3 属性").arg(parentName).arg(index + 1).arg(attributeName));
  return *value;
}

ListedFile ReadListedFile(const XmlNode& child, int index)
{
  const QString files = QStringLiteral("Files");
  ListedFile file;
  file.name = RequireAttribute(child, files, index, QStringLiteral("Name"));
  file.ver = RequireAttribute(child, files, index, QStringLiteral("Ver"));
  auto malformed = [&](const char* attribute) {
    return ListFormatError(QStringLiteral("%1 的第 %2 个子节点的 %3 属性无效")
                               .arg(files)
                               .arg(index + 1)
                               .arg(QLatin1String(attribute)));
  };
  if (const std::optional<QString> size = child.Attribute(QStringLiteral("Size"))) {
    bool ok = !size->isEmpty();
    for (const QChar c : *size)
      ok = ok && c >= u'0' && c <= u'9';
    file.size = ok ? size->toLongLong(&ok) : -1;
    if (!ok)
      throw malformed("Size");
  }
  if (const std::optional<QString> hash = child.Attribute(QStringLiteral("Sha256")))
    if (!ParseSha256Hex(*hash, &file.sha256))
      throw malformed("Sha256");
  return file;
}

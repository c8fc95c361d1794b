#include "modules/modXml.h"

#include "modules/modPublic.h"
#include "platform/Runtime.h"

bool LoadXml(const QString& path, XmlDocumentPtr& document)
{
  if (!FileExists(path, 0))
    return false;
  auto fresh = std::make_shared<XmlDocument>();
  if (!fresh->Load(path)) {
    MsgBox(QStringLiteral("ERROR：") + fresh->ParseErrorReason());
    return false;
  }
  document = std::move(fresh);
  return true;
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

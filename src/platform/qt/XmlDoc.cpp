#include "platform/XmlDoc.h"

#include "platform/FileSys.h"

#include <QFile>

int XmlNode::ChildCount() const
{
  return m_node.childNodes().count();
}

XmlNode XmlNode::Child(int index) const
{
  return XmlNode(m_node.childNodes().item(index));
}

std::optional<QString> XmlNode::Attribute(const QString& name) const
{
  const QDomElement element = m_node.toElement();
  if (element.isNull() || !element.hasAttribute(name))
    return std::nullopt;
  return element.attribute(name);
}

QString XmlNode::Text() const
{
  return m_node.toElement().isNull() ? m_node.nodeValue().trimmed() : m_node.toElement().text().trimmed();
}

bool XmlDocument::Load(const QString& path)
{
  QFile file(NativePath(path));
  if (!file.open(QIODevice::ReadOnly)) {
    m_reason = file.errorString();
    return false;
  }
  return Parse(file.readAll());
}

bool XmlDocument::Parse(const QByteArray& data)
{
  QString message;
  int line = 0;
  int column = 0;
  if (!m_doc.setContent(data, &message, &line, &column)) {
    m_reason = QStringLiteral("%1 (line %2, column %3)").arg(message).arg(line).arg(column);
    return false;
  }
  m_reason.clear();
  return true;
}

XmlNode XmlDocument::SelectSingleNode(const QString& elementName) const
{
  return XmlNode(m_doc.elementsByTagName(elementName).item(0));
}

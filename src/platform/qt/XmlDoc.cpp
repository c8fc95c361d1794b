#include "platform/XmlDoc.h"

#include "platform/FileSys.h"

#include <QDomDocument>
#include <QFile>

struct XmlNode::Impl {
  QDomNode node;
};

struct XmlDocument::Impl {
  QDomDocument doc;
  QString reason;
};

XmlNode::XmlNode() : m_impl(std::make_unique<Impl>()) {}
XmlNode::~XmlNode() = default;
XmlNode::XmlNode(const XmlNode& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}

XmlNode& XmlNode::operator=(const XmlNode& other)
{
  *m_impl = *other.m_impl;
  return *this;
}

bool XmlNode::IsNull() const
{
  return m_impl->node.isNull();
}

int XmlNode::ChildCount() const
{
  return m_impl->node.childNodes().count();
}

XmlNode XmlNode::Child(int index) const
{
  XmlNode child;
  child.m_impl->node = m_impl->node.childNodes().item(index);
  return child;
}

std::optional<std::string> XmlNode::Attribute(const std::string& name) const
{
  const QDomElement element = m_impl->node.toElement();
  const QString key = QString::fromStdString(name);
  if (element.isNull() || !element.hasAttribute(key))
    return std::nullopt;
  return element.attribute(key).toStdString();
}

std::string XmlNode::Text() const
{
  const QDomNode& node = m_impl->node;
  return (node.toElement().isNull() ? node.nodeValue().trimmed() : node.toElement().text().trimmed()).toStdString();
}

XmlDocument::XmlDocument() : m_impl(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&& other) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&& other) noexcept = default;

bool XmlDocument::Load(const std::string& path)
{
  QFile file(QString::fromStdString(NativePath(path)));
  if (!file.open(QIODevice::ReadOnly)) {
    m_impl->reason = file.errorString();
    return false;
  }
  return Parse(file.readAll().toStdString());
}

bool XmlDocument::Parse(const std::string& data)
{
  QString message;
  int line = 0;
  int column = 0;
  if (!m_impl->doc.setContent(QByteArray::fromStdString(data), &message, &line, &column)) {
    m_impl->reason = QStringLiteral("%1 (line %2, column %3)").arg(message).arg(line).arg(column);
    return false;
  }
  m_impl->reason.clear();
  return true;
}

std::string XmlDocument::ParseErrorReason() const
{
  return m_impl->reason.toStdString();
}

XmlNode XmlDocument::SelectSingleNode(const std::string& elementName) const
{
  XmlNode node;
  node.m_impl->node = m_impl->doc.elementsByTagName(QString::fromStdString(elementName)).item(0);
  return node;
}

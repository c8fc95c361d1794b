#pragma once
// The XML document the update list is read through: load a file, select the first
// node of a name, walk a node's children, read attributes and text.
#include <QDomDocument>
#include <QString>
#include <memory>
#include <optional>

class XmlNode {
public:
  XmlNode() = default;
  explicit XmlNode(QDomNode node) : m_node(std::move(node)) {}

  bool IsNull() const { return m_node.isNull(); }
  int ChildCount() const;
  XmlNode Child(int index) const;
  // The attribute's text; nullopt when the node has no attribute of exactly that name.
  std::optional<QString> Attribute(const QString& name) const;
  // The node's text content with surrounding white space removed.
  QString Text() const;

private:
  QDomNode m_node;
};

class XmlDocument {
public:
  // Parses the file; on failure ParseErrorReason() tells why.
  bool Load(const QString& path);
  // Parses the document held in data, the same way.
  bool Parse(const QByteArray& data);
  QString ParseErrorReason() const { return m_reason; }
  // The first element of that name in document order; a null node when there is none.
  XmlNode SelectSingleNode(const QString& elementName) const;

private:
  QDomDocument m_doc;
  QString m_reason;
};

using XmlDocumentPtr = std::shared_ptr<XmlDocument>;

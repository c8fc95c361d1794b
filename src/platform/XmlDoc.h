#pragma once
// The XML document the update list is read through: load a file, select the first
// node of a name, walk a node's children, read attributes and text.
#include <memory>
#include <optional>
#include <string>

class XmlNode {
public:
  XmlNode();
  ~XmlNode();
  XmlNode(const XmlNode& other);
  XmlNode& operator=(const XmlNode& other);

  bool IsNull() const;
  int ChildCount() const;
  XmlNode Child(int index) const;
  // The attribute's text; nullopt when the node has no attribute of exactly that name.
  std::optional<std::string> Attribute(const std::string& name) const;
  // The node's text content with surrounding white space removed.
  std::string Text() const;

private:
  friend class XmlDocument;
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

class XmlDocument {
public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&& other) noexcept;
  XmlDocument& operator=(XmlDocument&& other) noexcept;

  // Parses the file; on failure ParseErrorReason() tells why.
  bool Load(const std::string& path);
  // Parses the document held in data, the same way.
  bool Parse(const std::string& data);
  std::string ParseErrorReason() const;
  // The first element of that name in document order; a null node when there is none.
  XmlNode SelectSingleNode(const std::string& elementName) const;

private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

using XmlDocumentPtr = std::shared_ptr<XmlDocument>;

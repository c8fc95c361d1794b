#pragma once
// Loading the update list and reading the parts of it the updater needs.
#include "platform/XmlDoc.h"

#include <stdexcept>

// Reads the whole list file at path. Returns false with reason left empty when there is
// no such file, and with the system's reason when it cannot be read.
bool ReadXmlFile(const QString& path, QByteArray* data, QString* reason);

// Parses data into a fresh document; returns false with the parser's reason when it does
// not parse. On failure document is left as it was.
bool LoadXml(const QByteArray& data, XmlDocumentPtr& document, QString* reason);

// ReadXmlFile, then LoadXml on what it read.
bool LoadXml(const QString& path, XmlDocumentPtr& document, QString* reason);

// The list lacks something the updater must read; what() is a short Chinese description.
class ListFormatError : public std::runtime_error {
public:
  explicit ListFormatError(const QString& what) : std::runtime_error(what.toStdString()) {}
  QString Description() const { return QString::fromStdString(what()); }
};

// The first element of that name; throws ListFormatError when the list has none.
XmlNode RequireNode(const XmlDocument& document, const QString& elementName);

// The attribute of the index-th (0-based) child of the parent element; throws ListFormatError when absent.
QString RequireAttribute(const XmlNode& child, const QString& parentName, int index,
                         const QString& attributeName);

// One child of "//Files", as the updater reads it.
struct ListedFile {
  QString name;
  QString ver;
  qint64 size = -1;     // "Size" in bytes; -1 when the list gives none
  QByteArray sha256;    // "Sha256" as its 32 bytes; empty when the list gives none
};

// Reads the index-th (0-based) child of "//Files". Throws ListFormatError when Name or
// Ver is missing, or when Size is not a whole number or Sha256 not 64 hex digits.
ListedFile ReadListedFile(const XmlNode& child, int index);

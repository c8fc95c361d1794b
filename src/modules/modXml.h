#pragma once
// Loading the update list and reading the parts of it the updater needs.
#include "platform/XmlDoc.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// Reads the whole list file at path. Returns false with reason left empty when there is
// no such file, and with the system's reason when it cannot be read.
bool ReadXmlFile(const std::string& path, std::string* data, std::string* reason);

// Parses data (the list's bytes) into a fresh document; returns false with the parser's
// reason when it does not parse. On failure document is left as it was.
bool LoadXmlData(const std::string& data, XmlDocumentPtr& document, std::string* reason);

// ReadXmlFile, then LoadXmlData on what it read.
bool LoadXml(const std::string& path, XmlDocumentPtr& document, std::string* reason);

// The list lacks something the updater must read; what() is a short Chinese description.
class ListFormatError : public std::runtime_error {
public:
  explicit ListFormatError(const std::string& what) : std::runtime_error(what) {}
  std::string Description() const { return what(); }
};

// The first element of that name; throws ListFormatError when the list has none.
XmlNode RequireNode(const XmlDocument& document, const std::string& elementName);

// The attribute of the index-th (0-based) child of the parent element; throws ListFormatError when absent.
std::string RequireAttribute(const XmlNode& child, const std::string& parentName, int index,
                             const std::string& attributeName);

// One child of "//Files", as the updater reads it.
struct ListedFile {
  std::string name;
  std::string ver;
  std::int64_t size = -1;  // "Size" in bytes; -1 when the list gives none
  std::string sha256;      // "Sha256" as its 32 bytes; empty when the list gives none
};

// Reads the index-th (0-based) child of "//Files". Throws ListFormatError when Name or
// Ver is missing, or when Size is not a whole number or Sha256 not 64 hex digits.
ListedFile ReadListedFile(const XmlNode& child, int index);

#include "modules/modXml.h"

#include "modules/modPublic.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"

#include <limits>
#include <optional>

namespace {
// "Files 的第 2 个子节点" and the like: where in the list something is wrong.
std::string ChildOf(const std::string& parentName, int index)
{
  return parentName + " 的第 " + std::to_string(index + 1) + " 个子节点";
}

// A whole number of bytes, decimal digits only; nullopt when text is anything else.
std::optional<std::int64_t> ByteCount(const std::string& text)
{
  if (text.empty())
    return std::nullopt;
  std::int64_t count = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || count > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10)
      return std::nullopt;
    count = count * 10 + (c - '0');
  }
  return count;
}
}  // namespace

bool ReadXmlFile(const std::string& path, std::string* data, std::string* reason)
{
  reason->clear();
  return FileExists(path, 0) && ReadSmallFile(path, MaxListBytes, data, reason);
}

bool LoadXmlData(const std::string& data, XmlDocumentPtr& document, std::string* reason)
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

bool LoadXml(const std::string& path, XmlDocumentPtr& document, std::string* reason)
{
  std::string data;
  return ReadXmlFile(path, &data, reason) && LoadXmlData(data, document, reason);
}

XmlNode RequireNode(const XmlDocument& document, const std::string& elementName)
{
  XmlNode node = document.SelectSingleNode(elementName);
  if (node.IsNull())
    throw ListFormatError("缺少 " + elementName + " 节点");
  return node;
}

std::string RequireAttribute(const XmlNode& child, const std::string& parentName, int index,
                             const std::string& attributeName)
{
  const std::optional<std::string> value = child.Attribute(attributeName);
  if (!value)
    throw ListFormatError(ChildOf(parentName, index) + "缺少 " + attributeName + " 属性");
  return *value;
}

ListedFile ReadListedFile(const XmlNode& child, int index)
{
  const std::string files = "Files";
  ListedFile file;
  file.name = RequireAttribute(child, files, index, "Name");
  file.ver = RequireAttribute(child, files, index, "Ver");
  auto malformed = [&](const char* attribute) {
    return ListFormatError(ChildOf(files, index) + "的 " + attribute + " 属性无效");
  };
  if (const std::optional<std::string> size = child.Attribute("Size")) {
    const std::optional<std::int64_t> bytes = ByteCount(*size);
    if (!bytes)
      throw malformed("Size");
    file.size = *bytes;
  }
  if (const std::optional<std::string> hash = child.Attribute("Sha256"))
    if (!ParseSha256Hex(*hash, &file.sha256))
      throw malformed("Sha256");
  return file;
}

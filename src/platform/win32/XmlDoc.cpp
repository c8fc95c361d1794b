// The XML document over MSXML6's DOMDocument60, DTDs prohibited.
#include "platform/XmlDoc.h"

#include "platform/FileSys.h"
#include "platform/win32/Win32Text.h"

#include <msxml2.h>

namespace {
// MinGW-w64's headers and libuuid lack these two.
const CLSID ClsidDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
const IID IidXmlDomDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// Holds one reference to a COM object.
template <typename T>
class Com {
public:
  Com() = default;
  Com(const Com& other) : m_p(other.m_p) { if (m_p) m_p->AddRef(); }
  Com& operator=(const Com& other)
  {
    Com copy(other);
    std::swap(m_p, copy.m_p);
    return *this;
  }
  ~Com() { if (m_p) m_p->Release(); }
  T** Out() { return &m_p; }
  T* operator->() const { return m_p; }
  T* Get() const { return m_p; }

private:
  T* m_p = nullptr;
};

// A BSTR freed when it goes out of scope.
struct Bstr {
  explicit Bstr(const std::string& text = std::string()) : value(SysAllocString(win32::Wide(text).c_str())) {}
  ~Bstr() { SysFreeString(value); }
  std::string Text() const { return value ? win32::Utf8(value, int(SysStringLen(value))) : std::string(); }
  BSTR value;
};

std::string Trimmed(const std::string& text)
{
  const size_t begin = text.find_first_not_of(" \t\r\n");
  return begin == std::string::npos ? std::string() : text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

bool ComReady()
{
  static const bool ready = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) || true;
  return ready;
}
}  // namespace

struct XmlNode::Impl {
  Com<IXMLDOMNode> node;
};

struct XmlDocument::Impl {
  Com<IXMLDOMDocument2> doc;
  std::string reason;
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
  return !m_impl->node.Get();
}

int XmlNode::ChildCount() const
{
  Com<IXMLDOMNodeList> children;
  long count = 0;
  if (IsNull() || m_impl->node->get_childNodes(children.Out()) != S_OK || children->get_length(&count) != S_OK)
    return 0;
  return int(count);
}

XmlNode XmlNode::Child(int index) const
{
  XmlNode child;
  Com<IXMLDOMNodeList> children;
  if (!IsNull() && m_impl->node->get_childNodes(children.Out()) == S_OK)
    children->get_item(index, child.m_impl->node.Out());
  return child;
}

std::optional<std::string> XmlNode::Attribute(const std::string& name) const
{
  Com<IXMLDOMNamedNodeMap> attributes;
  Com<IXMLDOMNode> attribute;
  Bstr key(name);
  if (IsNull() || m_impl->node->get_attributes(attributes.Out()) != S_OK || !attributes.Get()
      || attributes->getNamedItem(key.value, attribute.Out()) != S_OK || !attribute.Get())
    return std::nullopt;
  Bstr value;
  attribute->get_text(&value.value);
  return value.Text();
}

std::string XmlNode::Text() const
{
  Bstr text;
  if (!IsNull())
    m_impl->node->get_text(&text.value);
  return Trimmed(text.Text());
}

XmlDocument::XmlDocument() : m_impl(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&& other) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&& other) noexcept = default;

bool XmlDocument::Load(const std::string& path)
{
  std::string data;
  if (!ReadSmallFile(path, INT32_MAX, &data, &m_impl->reason))
    return false;
  return Parse(data);
}

namespace {
// A fresh parser: synchronous, no DTD, no external resources.
Com<IXMLDOMDocument2> NewDocument()
{
  Com<IXMLDOMDocument2> doc;
  if (!ComReady() || FAILED(CoCreateInstance(ClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER, IidXmlDomDocument2,
                                             reinterpret_cast<void**>(doc.Out()))))
    return doc;
  doc->put_async(VARIANT_FALSE);
  doc->put_validateOnParse(VARIANT_FALSE);
  doc->put_resolveExternals(VARIANT_FALSE);
  VARIANT on;
  VariantInit(&on);
  on.vt = VT_BOOL;
  on.boolVal = VARIANT_TRUE;
  Bstr prohibit("ProhibitDTD");
  doc->setProperty(prohibit.value, on);
  return doc;
}

// Why the last load failed, with its place.
std::string ParseError(IXMLDOMDocument2* doc)
{
  Com<IXMLDOMParseError> error;
  Bstr text;
  long line = 0, column = 0;
  if (doc->get_parseError(error.Out()) == S_OK) {
    error->get_reason(&text.value);
    error->get_line(&line);
    error->get_linepos(&column);
  }
  return Trimmed(text.Text()) + " (line " + std::to_string(line) + ", column " + std::to_string(column) + ")";
}
}  // namespace

bool XmlDocument::Parse(const std::string& data)
{
  m_impl->doc = NewDocument();
  if (!m_impl->doc.Get()) {
    m_impl->reason = "无法创建 MSXML 6 文档";
    return false;
  }
  // Handed over as bytes, so that the parser reads the encoding the document declares.
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, ULONG(data.size()));
  void* raw = nullptr;
  SafeArrayAccessData(bytes, &raw);
  memcpy(raw, data.data(), data.size());
  SafeArrayUnaccessData(bytes);
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_ARRAY | VT_UI1;
  source.parray = bytes;
  VARIANT_BOOL ok = VARIANT_FALSE;
  m_impl->doc->load(source, &ok);
  SafeArrayDestroy(bytes);
  if (ok != VARIANT_TRUE) {
    m_impl->reason = ParseError(m_impl->doc.Get());
    m_impl->doc = Com<IXMLDOMDocument2>();
    return false;
  }
  m_impl->reason.clear();
  return true;
}

std::string XmlDocument::ParseErrorReason() const
{
  return m_impl->reason;
}

XmlNode XmlDocument::SelectSingleNode(const std::string& elementName) const
{
  XmlNode node;
  Com<IXMLDOMNodeList> found;
  Bstr name(elementName);
  if (m_impl->doc.Get() && m_impl->doc->getElementsByTagName(name.value, found.Out()) == S_OK)
    found->get_item(0, node.m_impl->node.Out());
  return node;
}

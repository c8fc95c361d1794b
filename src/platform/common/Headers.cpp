#include "platform/common/Headers.h"

#include <algorithm>
#include <set>

std::string LowerAscii(std::string text)
{
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? char(c | 0x20) : c; });
  return text;
}

std::string TrimmedBlanks(const std::string& text)
{
  const size_t begin = text.find_first_not_of(" \t");
  return begin == std::string::npos ? std::string() : text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::string HeaderName(const std::string& line)
{
  const size_t colon = line.find(':');
  return colon != std::string::npos && colon > 0 ? TrimmedBlanks(line.substr(0, colon)) : std::string();
}

std::string HeaderValue(const std::string& line)
{
  const size_t colon = line.find(':');
  return colon == std::string::npos ? std::string() : TrimmedBlanks(line.substr(colon + 1));
}

std::string FindHeader(const std::vector<std::string>& lines, const std::string& name)
{
  for (size_t i = 1; i < lines.size(); ++i)
    if (LowerAscii(HeaderName(lines[i])) == LowerAscii(name))
      return HeaderValue(lines[i]);
  return std::string();
}

BodyFraming ReadFraming(const std::vector<std::string>& lines, bool head, int status)
{
  std::set<std::string> lengths;
  std::string encoding;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string name = LowerAscii(HeaderName(lines[i]));
    const std::string value = HeaderValue(lines[i]);
    if (name == "content-length") {
      for (size_t start = 0, comma = 0; comma != std::string::npos; start = comma + 1) {
        comma = value.find(',', start);
        lengths.insert(TrimmedBlanks(value.substr(start, comma == std::string::npos ? comma : comma - start)));
      }
    } else if (name == "content-encoding" && encoding.empty()) {
      encoding = value;
    }
  }
  BodyFraming framing;
  const std::string only = lengths.size() == 1 ? *lengths.begin() : std::string();
  const bool digits = !only.empty() && only.size() < 19 && only.find_first_not_of("0123456789") == std::string::npos;
  framing.declaredLength = digits ? std::stoll(only) : -1;
  if (head || status < 200 || status > 299)
    return framing;
  if (lengths.size() > 1) {
    std::string values;
    for (const std::string& value : lengths)
      values += (values.empty() ? "" : ", ") + value;
    framing.refusal = "服务器给出了相互矛盾的长度（Content-Length: " + values + "）";
  } else if (!encoding.empty() && LowerAscii(encoding) != "identity") {
    framing.refusal = "服务器发来的是经过编码的内容（Content-Encoding: " + encoding + "），无法按原样保存";
  }
  return framing;
}

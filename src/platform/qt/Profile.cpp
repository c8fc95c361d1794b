// The settings reader itself is shared (common/Profile.cpp); Qt supplies the Chinese decoding.
#include "platform/common/TextCodec.h"

#include <QByteArray>
#include <QStringDecoder>

namespace text_codec {
std::string AnsiToUtf8(const std::string& bytes)
{
  QStringDecoder gb18030("GB18030");
  const QByteArray data = QByteArray::fromStdString(bytes);
  return gb18030.isValid() ? QString(gb18030(data)).toStdString() : QString::fromUtf8(data).toStdString();
}
}  // namespace text_codec

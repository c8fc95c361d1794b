// Writes the Windows program's banner and icon from the same drawing as the Linux window:
//   mervo_art <folder>   writes <folder>/banner.bmp and <folder>/mervo.ico
// The results are kept in src/platform/win32/resources/; run again after changing the art.
#include "platform/qt/QtArt.h"

#include <QApplication>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QImage>

#include <cstdio>

namespace {
// One icon image as the ICO format keeps it: a 32-bit DIB of twice the height (colour,
// bottom row first), then the 1-bit mask of the transparent pixels.
QByteArray IconDib(const QImage& image)
{
  const int size = image.width();
  const int maskStride = (size + 31) / 32 * 4;
  QByteArray dib;
  QDataStream out(&dib, QIODevice::WriteOnly);
  out.setByteOrder(QDataStream::LittleEndian);
  out << quint32(40) << qint32(size) << qint32(size * 2) << quint16(1) << quint16(32) << quint32(0)
      << quint32(size * size * 4 + maskStride * size) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
  for (int y = size - 1; y >= 0; --y)
    for (int x = 0; x < size; ++x)
      out << quint32(image.pixel(x, y));  // 0xAARRGGBB: B, G, R, A in the file
  for (int y = size - 1; y >= 0; --y) {
    QByteArray row(maskStride, '\0');
    for (int x = 0; x < size; ++x)
      if (qAlpha(image.pixel(x, y)) == 0)
        row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
    out.writeRawData(row.constData(), row.size());
  }
  return dib;
}

bool WriteIcon(const QString& path)
{
  QList<QByteArray> images;
  const QIcon icon = WindowIcon();
  const int sizes[] = {48, 32, 24, 16};
  for (int size : sizes)
    images << IconDib(icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32));
  QByteArray ico;
  QDataStream out(&ico, QIODevice::WriteOnly);
  out.setByteOrder(QDataStream::LittleEndian);
  out << quint16(0) << quint16(1) << quint16(images.size());
  quint32 offset = 6 + 16 * images.size();
  for (int i = 0; i < images.size(); ++i) {
    out << quint8(sizes[i]) << quint8(sizes[i]) << quint8(0) << quint8(0) << quint16(1) << quint16(32)
        << quint32(images[i].size()) << offset;
    offset += images[i].size();
  }
  for (const QByteArray& image : images)
    out.writeRawData(image.constData(), image.size());
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(ico) == ico.size() && file.flush();
}
}  // namespace

int main(int argc, char* argv[])
{
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: mervo_art <folder>\n");
    return 2;
  }
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  const QImage banner = BannerImage().toImage().convertToFormat(QImage::Format_RGB888);
  if (!banner.save(folder.filePath(QStringLiteral("banner.bmp")), "BMP")
      || !WriteIcon(folder.filePath(QStringLiteral("mervo.ico")))) {
    std::fprintf(stderr, "mervo_art: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}

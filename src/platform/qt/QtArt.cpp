// The banner and the window icon, drawn here rather than shipped as image files.
#include "platform/qt/QtArt.h"

#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

namespace {
void DrawGlobe(QPainter& p, const QRectF& box)
{
  QRadialGradient sea(box.center() - QPointF(box.width() * 0.18, box.height() * 0.18), box.width() * 0.7);
  sea.setColorAt(0, QColor(120, 190, 255));
  sea.setColorAt(1, QColor(20, 70, 160));
  p.setPen(QPen(QColor(15, 45, 110), box.width() / 40.0));
  p.setBrush(sea);
  p.drawEllipse(box);

  // Two rough land masses.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 160, 80));
  const qreal w = box.width();
  const qreal h = box.height();
  QPainterPath land;
  land.moveTo(box.left() + w * 0.22, box.top() + h * 0.30);
  land.cubicTo(box.left() + w * 0.40, box.top() + h * 0.18, box.left() + w * 0.52, box.top() + h * 0.38,
               box.left() + w * 0.42, box.top() + h * 0.52);
  land.cubicTo(box.left() + w * 0.32, box.top() + h * 0.66, box.left() + w * 0.18, box.top() + h * 0.50,
               box.left() + w * 0.22, box.top() + h * 0.30);
  land.moveTo(box.left() + w * 0.58, box.top() + h * 0.55);
  land.cubicTo(box.left() + w * 0.78, box.top() + h * 0.48, box.left() + w * 0.82, box.top() + h * 0.70,
               box.left() + w * 0.64, box.top() + h * 0.82);
  land.cubicTo(box.left() + w * 0.54, box.top() + h * 0.74, box.left() + w * 0.52, box.top() + h * 0.62,
               box.left() + w * 0.58, box.top() + h * 0.55);
  p.setClipRegion(QRegion(box.toRect(), QRegion::Ellipse));
  p.drawPath(land);

  // Meridians and parallels.
  p.setPen(QPen(QColor(255, 255, 255, 110), qMax(1.0, w / 90.0)));
  p.setBrush(Qt::NoBrush);
  for (qreal f : {0.25, 0.5}) {
    const qreal inset = w * f / 2.0;
    p.drawEllipse(box.adjusted(inset, 0, -inset, 0));
  }
  p.drawLine(QPointF(box.center().x(), box.top()), QPointF(box.center().x(), box.bottom()));
  for (qreal f : {0.3, 0.5, 0.7})
    p.drawLine(QPointF(box.left(), box.top() + h * f), QPointF(box.right(), box.top() + h * f));
  p.setClipping(false);
}

void DrawMonitor(QPainter& p, const QRectF& screen, const QColor& glow)
{
  const qreal w = screen.width();
  p.setPen(QPen(QColor(60, 60, 70), qMax(1.0, w / 30.0)));
  p.setBrush(QColor(210, 210, 215));
  p.drawRoundedRect(screen.adjusted(-w * 0.08, -w * 0.08, w * 0.08, w * 0.08), w * 0.06, w * 0.06);
  QLinearGradient shine(screen.topLeft(), screen.bottomRight());
  shine.setColorAt(0, glow.lighter(150));
  shine.setColorAt(1, glow.darker(140));
  p.setBrush(shine);
  p.drawRect(screen);
  // Stand and foot.
  const QPointF base(screen.center().x(), screen.bottom() + w * 0.08);
  p.setBrush(QColor(170, 170, 178));
  p.drawRect(QRectF(base.x() - w * 0.08, base.y(), w * 0.16, w * 0.16));
  p.drawRoundedRect(QRectF(base.x() - w * 0.32, base.y() + w * 0.16, w * 0.64, w * 0.08), 2, 2);
}
}

QPixmap BannerImage()
{
  QPixmap banner(105, 186);
  QPainter p(&banner);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, 186);
  sky.setColorAt(0, QColor(235, 243, 255));
  sky.setColorAt(1, QColor(150, 180, 225));
  p.fillRect(banner.rect(), sky);

  DrawGlobe(p, QRectF(12, 14, 81, 81));
  // The link between the two machines.
  p.setPen(QPen(QColor(255, 160, 30), 2, Qt::DashLine));
  p.drawLine(QPointF(30, 128), QPointF(75, 128));
  DrawMonitor(p, QRectF(8, 108, 34, 26), QColor(40, 120, 200));
  DrawMonitor(p, QRectF(63, 108, 34, 26), QColor(40, 160, 120));

  p.setPen(QColor(20, 50, 110));
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(15);
  p.setFont(font);
  p.drawText(QRectF(0, 156, 105, 24), Qt::AlignCenter, QStringLiteral("Mervo"));
  return banner;
}

QIcon WindowIcon()
{
  QIcon icon;
  for (int size : {48, 32, 24, 16}) {
    QPixmap image(size, size);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawGlobe(p, QRectF(size * 0.04, size * 0.04, size * 0.92, size * 0.92));
    // A down arrow: the update arriving.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 160, 30));
    const qreal s = size;
    QPolygonF arrow;
    arrow << QPointF(s * 0.42, s * 0.30) << QPointF(s * 0.58, s * 0.30) << QPointF(s * 0.58, s * 0.58)
          << QPointF(s * 0.74, s * 0.58) << QPointF(s * 0.50, s * 0.88) << QPointF(s * 0.26, s * 0.58)
          << QPointF(s * 0.42, s * 0.58);
    p.drawPolygon(arrow);
    p.end();
    icon.addPixmap(image);
  }
  return icon;
}

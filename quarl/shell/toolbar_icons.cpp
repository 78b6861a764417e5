#include <quarl/shell/toolbar_icons.h>

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int kSize = 24;

const QColor kInk(40, 40, 48);
const QColor kPaper(250, 250, 246);
const QColor kFolder(222, 178, 72);
const QColor kDiskBlue(58, 96, 168);
const QColor kPlayGreen(46, 140, 64);
const QColor kRecordRed(204, 40, 40);
const QColor kGlass(200, 222, 240);

void DrawLens(QPainter& p, bool plus) {
  p.setPen(QPen(kInk, 1.6));
  p.setBrush(kGlass);
  p.drawEllipse(QRectF(3, 3, 13, 13));
  p.setPen(QPen(kInk, 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(15, 15), QPointF(21, 21));
  p.setPen(QPen(kInk, 1.8));
  p.drawLine(QPointF(6.5, 9.5), QPointF(12.5, 9.5));
  if (plus) p.drawLine(QPointF(9.5, 6.5), QPointF(9.5, 12.5));
}

// Two nested frames and an arrow pointing out of (collapse) or into (expand) the inner one.
void DrawGroupArrow(QPainter& p, bool into) {
  p.setPen(QPen(kInk, 1.2));
  p.setBrush(kPaper);
  p.drawRect(QRectF(2.5, 2.5, 19, 19));
  p.setBrush(kGlass);
  p.drawRect(QRectF(8.5, 10.5, 10, 8));
  p.setPen(QPen(kPlayGreen, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  const QPointF outer(5.5, 5.5);
  const QPointF inner(12.5, 13.5);
  p.drawLine(outer, inner);
  const QPointF tip = into ? inner : outer;
  const qreal s = into ? -4.0 : 4.0;
  p.drawPolyline(QPolygonF({tip + QPointF(s, 0), tip, tip + QPointF(0, s)}));
}

void Draw(QPainter& p, ToolbarPicture picture) {
  p.setRenderHint(QPainter::Antialiasing);
  switch (picture) {
    case ToolbarPicture::kBlankPage: {
      QPainterPath page;
      page.moveTo(5.5, 2.5);
      page.lineTo(14.5, 2.5);
      page.lineTo(19.5, 7.5);
      page.lineTo(19.5, 21.5);
      page.lineTo(5.5, 21.5);
      page.closeSubpath();
      p.setPen(QPen(kInk, 1.2));
      p.setBrush(kPaper);
      p.drawPath(page);
      p.drawPolyline(QPolygonF({QPointF(14.5, 2.5), QPointF(14.5, 7.5), QPointF(19.5, 7.5)}));
      break;
    }
    case ToolbarPicture::kOpenFolder: {
      p.setPen(QPen(kInk, 1.2));
      p.setBrush(kFolder.darker(115));
      p.drawPolygon(QPolygonF({QPointF(2.5, 5.5), QPointF(9.5, 5.5), QPointF(11.5, 7.5),
                               QPointF(19.5, 7.5), QPointF(19.5, 19.5), QPointF(2.5, 19.5)}));
      p.setBrush(kFolder);
      p.drawPolygon(QPolygonF(
          {QPointF(2.5, 19.5), QPointF(6.5, 10.5), QPointF(22.5, 10.5), QPointF(18.5, 19.5)}));
      break;
    }
    case ToolbarPicture::kDisk:
      p.setPen(QPen(kInk, 1.2));
      p.setBrush(kDiskBlue);
      p.drawRoundedRect(QRectF(3.5, 3.5, 17, 17), 2, 2);
      p.setBrush(kPaper);
      p.drawRect(QRectF(7.5, 3.5, 9, 6));
      p.drawRect(QRectF(6.5, 13.5, 11, 7));
      break;
    case ToolbarPicture::kNotePlus:
      p.setPen(Qt::NoPen);
      p.setBrush(kInk);
      p.drawEllipse(QRectF(3, 15, 7, 5));
      p.drawRect(QRectF(8.4, 4, 1.6, 13));
      p.drawPolygon(
          QPolygonF({QPointF(10, 4), QPointF(15, 7), QPointF(15, 9.5), QPointF(10, 6.5)}));
      p.setPen(QPen(kPlayGreen, 2.4));
      p.drawLine(QPointF(17.5, 12), QPointF(17.5, 22));
      p.drawLine(QPointF(12.5, 17), QPointF(22.5, 17));
      break;
    case ToolbarPicture::kPlayTriangle:
      p.setPen(QPen(kInk, 1));
      p.setBrush(kPlayGreen);
      p.drawPolygon(QPolygonF({QPointF(6, 3.5), QPointF(20, 12), QPointF(6, 20.5)}));
      break;
    case ToolbarPicture::kStopSquare:
      p.setPen(QPen(kInk, 1));
      p.setBrush(kInk.lighter(180));
      p.drawRect(QRectF(5.5, 5.5, 13, 13));
      break;
    case ToolbarPicture::kRewindArrows:
      p.setPen(Qt::NoPen);
      p.setBrush(kInk);
      p.drawRect(QRectF(3, 6, 2, 12));
      p.drawPolygon(QPolygonF({QPointF(13, 6), QPointF(13, 18), QPointF(5, 12)}));
      p.drawPolygon(QPolygonF({QPointF(21, 6), QPointF(21, 18), QPointF(13, 12)}));
      break;
    case ToolbarPicture::kForwardArrows:
      p.setPen(Qt::NoPen);
      p.setBrush(kInk);
      p.drawPolygon(QPolygonF({QPointF(3, 6), QPointF(3, 18), QPointF(11, 12)}));
      p.drawPolygon(QPolygonF({QPointF(11, 6), QPointF(11, 18), QPointF(19, 12)}));
      p.drawRect(QRectF(19, 6, 2, 12));
      break;
    case ToolbarPicture::kRecordDot:
      p.setPen(QPen(kRecordRed.darker(140), 1));
      p.setBrush(kRecordRed);
      p.drawEllipse(QRectF(4.5, 4.5, 15, 15));
      break;
    case ToolbarPicture::kZoomInLens:
      DrawLens(p, true);
      break;
    case ToolbarPicture::kZoomOutLens:
      DrawLens(p, false);
      break;
    case ToolbarPicture::kCollapseArrow:
      DrawGroupArrow(p, false);
      break;
    case ToolbarPicture::kExpandArrow:
      DrawGroupArrow(p, true);
      break;
  }
}

QPixmap Render(ToolbarPicture picture, int scale) {
  QPixmap pixmap(kSize * scale, kSize * scale);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.scale(scale, scale);
  Draw(painter, picture);
  painter.end();
  pixmap.setDevicePixelRatio(scale);
  return pixmap;
}

}  // namespace

QIcon ToolbarIcon(ToolbarPicture picture) {
  QIcon icon;
  icon.addPixmap(Render(picture, 1));
  icon.addPixmap(Render(picture, 2));
  return icon;
}

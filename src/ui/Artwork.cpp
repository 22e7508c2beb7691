#include "ui/Artwork.h"

#include <QPainter>
#include <QPainterPath>

namespace swn {
namespace {

void drawEnvelope(QPainter& p, const QRectF& r, const QColor& paper, const QColor& line)
{
    p.setPen(QPen(line, qMax(1.0, r.height() / 14)));
    p.setBrush(paper);
    p.drawRoundedRect(r, r.height() / 10, r.height() / 10);
    QPainterPath flap;
    flap.moveTo(r.topLeft());
    flap.lineTo(r.center().x(), r.top() + r.height() * 0.55);
    flap.lineTo(r.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

} // namespace

HeartBeatIndicator::HeartBeatIndicator(QWidget* parent) : QWidget(parent), fill_(0, 128, 0)
{
    setFixedSize(14, 14);
}

void HeartBeatIndicator::SetFillColor(const QColor& c)
{
    fill_ = c;
    update();
}

void HeartBeatIndicator::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 64, 0), 1));
    p.setBrush(fill_);
    p.drawEllipse(QRectF(1, 1, width() - 2, height() - 2));
}

PictureBox::PictureBox(const QPixmap& picture, QWidget* parent) : QLabel(parent)
{
    setPixmap(picture);
    setFixedSize(picture.size());
}

QPixmap RelayEmblem(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, size, size);
    g.setColorAt(0, QColor(32, 96, 176));
    g.setColorAt(1, QColor(16, 48, 112));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QRectF(0, 0, size, size));
    // Speed lines behind the letter.
    p.setPen(QPen(QColor(255, 200, 64), size / 24.0, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i) {
        const qreal y = size * (0.42 + 0.09 * i);
        p.drawLine(QPointF(size * 0.12, y), QPointF(size * (0.30 - 0.04 * i), y));
    }
    drawEnvelope(p, QRectF(size * 0.32, size * 0.34, size * 0.46, size * 0.32), QColor(250, 250, 245),
                 QColor(16, 48, 112));
    return pm;
}

QPixmap RelayBanner(int width, int height)
{
    QPixmap pm(width, height);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 130, 150), height / 12.0, Qt::DashLine, Qt::RoundCap));
    p.drawLine(QPointF(4, height * 0.5), QPointF(width - 4, height * 0.5));
    const QColor colours[] = {QColor(250, 250, 245), QColor(255, 236, 180), QColor(214, 236, 255)};
    for (int i = 0; i < 3; ++i) {
        const qreal w = height * 0.9, h = height * 0.6;
        const qreal x = (width - w) * (0.1 + 0.4 * i);
        drawEnvelope(p, QRectF(x, (height - h) / 2, w, h), colours[i], QColor(40, 60, 100));
    }
    return pm;
}

QPixmap CredentialsIcon()
{
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 80, 0), 2));
    p.setBrush(QColor(240, 190, 40));
    p.drawEllipse(QRectF(3, 3, 14, 14));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(15, 15), QPointF(28, 28));
    p.drawLine(QPointF(23, 23), QPointF(26, 20));
    p.drawLine(QPointF(26, 26), QPointF(29, 23));
    p.setBrush(QColor(255, 255, 255));
    p.drawEllipse(QRectF(7, 7, 5, 5));
    return pm;
}

} // namespace swn

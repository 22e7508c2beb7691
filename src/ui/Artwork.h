#pragma once
// The window's small drawn controls: the heartbeat circle and the picture boxes with their art.
#include <QColor>
#include <QLabel>
#include <QPixmap>
#include <QWidget>

namespace swn {

class HeartBeatIndicator : public QWidget {
    Q_OBJECT
public:
    explicit HeartBeatIndicator(QWidget* parent = nullptr);
    QColor FillColor() const { return fill_; }
    void SetFillColor(const QColor& c);
    QSize sizeHint() const override { return {14, 14}; }
protected:
    void paintEvent(QPaintEvent*) override;
private:
    QColor fill_;
};

class PictureBox : public QLabel {
    Q_OBJECT
public:
    explicit PictureBox(const QPixmap& picture, QWidget* parent = nullptr);
Q_SIGNALS:
    void DblClick();
protected:
    void mouseDoubleClickEvent(QMouseEvent*) override { Q_EMIT DblClick(); }
};

// A letter flying off to the right: the relay's emblem.
QPixmap RelayEmblem(int size);
// A ribbon of three envelopes on a track: mail moving through the relay.
QPixmap RelayBanner(int width, int height);
// The credentials dialog's key icon, 32 x 32.
QPixmap CredentialsIcon();

} // namespace swn

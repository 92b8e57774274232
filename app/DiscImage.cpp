// The decorative picture: a few compact discs with a rainbow sheen on a deep blue background.
#include "app/DiscImage.h"

#include <QConicalGradient>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

namespace {

constexpr int kPictureWidth = 162;
constexpr int kPictureHeight = 276;

void DrawDisc(QPainter& painter, QPointF centre, qreal radius, qreal angle) {
    QConicalGradient sheen(centre, angle);
    sheen.setColorAt(0.00, QColor(226, 230, 238));
    sheen.setColorAt(0.10, QColor(250, 214, 160));
    sheen.setColorAt(0.18, QColor(190, 236, 190));
    sheen.setColorAt(0.26, QColor(170, 200, 250));
    sheen.setColorAt(0.36, QColor(214, 218, 228));
    sheen.setColorAt(0.50, QColor(160, 166, 180));
    sheen.setColorAt(0.60, QColor(236, 190, 236));
    sheen.setColorAt(0.68, QColor(250, 240, 170));
    sheen.setColorAt(0.76, QColor(170, 236, 236));
    sheen.setColorAt(0.86, QColor(200, 204, 216));
    sheen.setColorAt(1.00, QColor(226, 230, 238));
    painter.setPen(QPen(QColor(90, 96, 120), 1.0));
    painter.setBrush(sheen);
    painter.drawEllipse(centre, radius, radius);

    // The clear hub ring, the label ring and the hole.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(200, 210, 230, 170));
    painter.drawEllipse(centre, radius * 0.34, radius * 0.34);
    painter.setPen(QPen(QColor(120, 126, 150), 1.0));
    painter.setBrush(QColor(236, 238, 244));
    painter.drawEllipse(centre, radius * 0.22, radius * 0.22);
    painter.setBrush(QColor(10, 30, 110));
    painter.drawEllipse(centre, radius * 0.10, radius * 0.10);

    // A soft highlight across the playing surface.
    QRadialGradient glare(centre + QPointF(-radius * 0.35, -radius * 0.4), radius * 0.8);
    glare.setColorAt(0.0, QColor(255, 255, 255, 110));
    glare.setColorAt(1.0, QColor(255, 255, 255, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(glare);
    painter.drawEllipse(centre, radius, radius);
}

} // namespace

QImage DrawDiscImage() {
    QImage picture(kPictureWidth, kPictureHeight, QImage::Format_RGB888);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, kPictureHeight);
    sky.setColorAt(0.0, QColor(8, 20, 90));
    sky.setColorAt(0.5, QColor(20, 60, 170));
    sky.setColorAt(1.0, QColor(6, 16, 70));
    painter.fillRect(picture.rect(), sky);

    DrawDisc(painter, QPointF(58, 70), 52, 30);
    DrawDisc(painter, QPointF(110, 150), 56, 130);
    DrawDisc(painter, QPointF(62, 224), 46, 250);
    painter.end();
    return picture;
}

TImage::TImage(QWidget* Parent) : QWidget(Parent) {}

void TImage::SetPicture(const QImage& Picture) {
    FPicture = Picture;
    update();
}

void TImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), FPicture);
}

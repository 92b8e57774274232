// TShape: the largest circle that fits, centred, outlined with a hairline.
#include "app/Shape.h"

#include <QPainter>

#include <algorithm>

TShape::TShape(QWidget* Parent) : QWidget(Parent) {}

void TShape::SetBrushColor(const QColor& Color) {
    if (FBrushColor != Color) {
        FBrushColor = Color;
        update();
    }
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, FPenWidth));
    painter.setBrush(FBrushColor);
    const qreal diameter = std::min(width(), height()) - 1.0;
    painter.drawEllipse(QRectF((width() - diameter) / 2.0, (height() - diameter) / 2.0, diameter, diameter));
}

// The shared font and colours of the program's windows.
#include "app/WindowLook.h"

#include <QApplication>
#include <QPalette>

QFont WindowFont() {
    QFont font;
    font.setFamilies(
        {QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setPointSize(8);
    return font;
}

QColor ButtonFaceColor() {
    return QApplication::palette().color(QPalette::Button);
}

void SetButtonFaceBackground(QWidget* Widget) {
    QPalette palette = Widget->palette();
    palette.setColor(QPalette::Window, ButtonFaceColor());
    Widget->setPalette(palette);
    Widget->setAutoFillBackground(true);
}

void SetControlColor(QWidget* Widget, const QColor& Color) {
    QPalette palette = Widget->palette();
    palette.setColor(QPalette::Base, Color);
    palette.setColor(QPalette::Button, Color);
    Widget->setPalette(palette);
}

QColor ControlColor(const QWidget* Widget) {
    return Widget->palette().color(QPalette::Base);
}

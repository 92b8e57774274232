// TComboBox: middle elision in the closed box and a popup wide enough for its entries.
#include "app/ComboBox.h"

#include <QAbstractItemView>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>

TComboBox::TComboBox(QWidget* Parent) : QComboBox(Parent) {}

void TComboBox::FitPopupWidth() {
    int widest = 0;
    for (int i = 0; i < count(); ++i) {
        widest = std::max(widest, fontMetrics().horizontalAdvance(itemText(i)));
    }
    constexpr int kMargins = 32; // item padding and a scroll bar
    view()->setMinimumWidth(std::max(width(), widest + kMargins));
}

void TComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, field.width());
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

// The look the program's windows share: their font and the button-face background.
#pragma once

#include <QColor>
#include <QFont>
#include <QWidget>

// "MS Sans Serif" 8 pt, or the platform's sans font of that size where it is missing.
QFont WindowFont();
// The system's button-face colour.
QColor ButtonFaceColor();
void SetButtonFaceBackground(QWidget* Widget);
// Paints an input control (edit, list, drop-down) in `Color` instead of the usual white.
void SetControlColor(QWidget* Widget, const QColor& Color);
QColor ControlColor(const QWidget* Widget);

// TShape: a circle filled with a brush colour, the run's indicator beside the progress bar.
#pragma once

#include <QColor>
#include <QWidget>

class TShape : public QWidget {
    Q_OBJECT
public:
    explicit TShape(QWidget* Parent);
    QColor BrushColor() const { return FBrushColor; }
    void SetBrushColor(const QColor& Color);
    int PenWidth() const { return FPenWidth; }

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    QColor FBrushColor{0, 128, 0};
    int FPenWidth = 0; // a hairline outline
};

// The decorative picture of the main window: compact discs on a blue background.
#pragma once

#include <QImage>
#include <QWidget>

// Draws the 162 x 276 picture, 24-bit colour.
QImage DrawDiscImage();

// TImage: shows a picture stretched over the whole control.
class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* Parent);
    const QImage& Picture() const { return FPicture; }
    void SetPicture(const QImage& Picture);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    QImage FPicture;
};

// TComboBox: a drop-down list that shows a long port name shortened in the middle, never cut at its end.
#pragma once

#include <QComboBox>

// Virtual ports are named by long link paths whose distinguishing part is at the end: the closed box
// elides the middle of the text, and the open list is as wide as its longest entry.
class TComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TComboBox(QWidget* Parent);
    // Widens the open list to its longest entry; call after the entries change.
    void FitPopupWidth();

protected:
    void paintEvent(QPaintEvent* Event) override;
};

// TShowMsgFrm: the stay-on-top window that tells the user to switch the instrument on.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

class TShowMsgFrm : public QWidget {
    Q_OBJECT
public:
    // Owner: null for the application object, or the main window.
    explicit TShowMsgFrm(QWidget* Owner = nullptr);
    ~TShowMsgFrm() override;

    QLabel* Label1;
    QFrame* Panel1;
    QPushButton* Button1;

    void Button1Click();

protected:
    void showEvent(QShowEvent* Event) override;
};

// The one instruction window; null until it is created, and again once it is destroyed.
extern TShowMsgFrm* ShowMsgFrm;

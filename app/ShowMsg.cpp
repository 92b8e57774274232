// TShowMsgFrm: a fixed, centred, stay-on-top window with the switch-on instruction and an OK button.
#include "app/ShowMsg.h"

#include "app/Application.h"
#include "app/WindowLook.h"

#include <QGuiApplication>
#include <QScreen>

TShowMsgFrm* ShowMsgFrm = nullptr;

namespace {
constexpr int kBorder = 8;
constexpr int kClientWidth = 352;
constexpr int kClientHeight = 88;
constexpr int kStripHeight = 32;
} // namespace

TShowMsgFrm::TShowMsgFrm(QWidget* Owner)
    : QWidget(Owner, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    // Showing it must not end the program when the main window closes, nor hold the program open.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFont(WindowFont());
    SetButtonFaceBackground(this);
    setFixedSize(kClientWidth + 2 * kBorder, kClientHeight + 2 * kBorder);
    setWindowTitle(Application::Title());

    Label1 = new QLabel(this);
    Label1->setGeometry(kBorder, kBorder, kClientWidth, kClientHeight - kStripHeight);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Label1->setTextFormat(Qt::PlainText);
    Label1->setText(
        QStringLiteral("The mode of software updating  is included. Switch on device. If he is "
                       "already included, switch off him for 10-20 seconds, then again switch on."));

    Panel1 = new QFrame(this);
    Panel1->setGeometry(kBorder, kBorder + kClientHeight - kStripHeight, kClientWidth, kStripHeight);
    Panel1->setFrameStyle(QFrame::NoFrame);

    Button1 = new QPushButton(Panel1);
    Button1->setGeometry(138, 4, 75, 25);
    Button1->setText(QStringLiteral("\u041E\u041A"));
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &TShowMsgFrm::Button1Click);
}

TShowMsgFrm::~TShowMsgFrm() {
    if (ShowMsgFrm == this) {
        ShowMsgFrm = nullptr;
    }
}

void TShowMsgFrm::Button1Click() {
    close();
}

void TShowMsgFrm::showEvent(QShowEvent* Event) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry(); // move() places the frame, title bar included
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    QWidget::showEvent(Event);
}

// Helpers for the window tests: answering the real modal boxes, waiting on the event loop, fake ports.
#pragma once

#include "app/PortList.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// Runs the event loop until `done` holds or `limit` has passed; the limit only keeps a failing test
// from hanging. True when `done` held.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limit.count()) {
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Answers the file dialog with the next queued file, as a user would; an empty name (or none queued)
// cancels it.
inline void AnswerFileDialog(QFileDialog& dialog, std::deque<QString>& answers) {
    const QString file = answers.empty() ? QString() : answers.front();
    if (!answers.empty()) {
        answers.pop_front();
    }
    if (file.isEmpty()) {
        dialog.reject();
        return;
    }
    // Typed into the name box, as a user would; selectFile leaves a focused box alone. A file still
    // selected in the views from the last time would win over the typed name.
    for (auto* view : dialog.findChildren<QAbstractItemView*>()) {
        view->clearSelection();
    }
    if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        name->setText(file);
    }
    QMetaObject::invokeMethod(&dialog, "accept"); // what the Open button does
}

// Answers every modal box the program shows, the way a user would: message boxes with a chosen button,
// the file dialog with the next queued file (an empty name cancels it). Records what it saw.
class ModalAnswerer : public QObject {
public:
    struct SeenBox {
        QString Title;
        QString Text;
        QMessageBox::Icon Icon;
    };

    ModalAnswerer() {
        Timer.setInterval(5);
        connect(&Timer, &QTimer::timeout, this, &ModalAnswerer::Answer);
        Timer.start();
    }

    QMessageBox::StandardButton BoxAnswer = QMessageBox::Ok;
    std::deque<QString> FileAnswers;
    std::vector<SeenBox> Boxes;
    int FileDialogs = 0;

private:
    void Answer() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box && box->isVisible()) {
            Boxes.push_back({box->windowTitle(), box->text(), box->icon()});
            QAbstractButton* button = box->button(BoxAnswer);
            (button ? button : box->buttons().front())->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal); dialog && dialog->isVisible()) {
            ++FileDialogs;
            AnswerFileDialog(*dialog, FileAnswers);
        }
    }

    QTimer Timer;
};

class FakePortSource : public TPortSource {
public:
    std::vector<TPortEntry> Entries;
    std::vector<TPortEntry> Ports() const override { return Entries; }
};

// A pseudo-terminal pair: the slave's path serves as a port name, the test holds the master.
class Pty {
public:
    Pty() {
        Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (Master >= 0 && ::grantpt(Master) == 0 && ::unlockpt(Master) == 0) {
            SlavePath = ::ptsname(Master);
        }
    }
    ~Pty() {
        if (Master >= 0) {
            ::close(Master);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master = -1;
    std::string SlavePath;
};

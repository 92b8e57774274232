// Question, notice and exception boxes over QMessageBox.
#include "app/Dialogs.h"

#include "app/Application.h"

#include <QApplication>
#include <QMessageBox>

namespace {

int RunBox(QMessageBox::Icon Icon, const QString& Text, QMessageBox::StandardButtons Buttons,
           QMessageBox::StandardButton Default) {
    QMessageBox box(Icon, Application::Title(), Text, Buttons);
    box.setTextFormat(Qt::PlainText); // the texts are shown as they are, never as markup
    box.setDefaultButton(Default);
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec();
}

} // namespace

bool AskQuestion(const QString& Text) {
    return RunBox(QMessageBox::NoIcon, Text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
           QMessageBox::Yes;
}

void ShowNotice(const QString& Text) {
    RunBox(QMessageBox::NoIcon, Text, QMessageBox::Ok, QMessageBox::Ok);
}

void ShowException(const QString& Message) {
    RunBox(QMessageBox::Critical, Message, QMessageBox::Ok, QMessageBox::Ok);
}

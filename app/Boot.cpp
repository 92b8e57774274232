// The program's entry point: the two windows and the message loop.
#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/ProgForm.h"
#include "app/ShowMsg.h"

#include <QApplication>

#include <exception>

int main(int argc, char* argv[]) {
    // The arguments go to Qt alone (platform options); the program reads none.
    QApplication application(argc, argv);
    Application::InstallMainThreadWake();
    try {
        // A window without a parent is a top-level window with its own taskbar button; the main window,
        // created first, ends the message loop when it closes.
        FormProgFrm = new TFormProgFrm(nullptr);
        ShowMsgFrm = new TShowMsgFrm(nullptr);
        FormProgFrm->show();
        QApplication::exec();
    } catch (const std::exception& error) {
        ShowException(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowException(QString());
    }
    delete FormProgFrm; // hidden, then the link is taken down and the settings are saved
    delete ShowMsgFrm;
    Application::RemoveMainThreadWake();
    return 0;
}

// The application title and the main thread's wake-up for Synchronize calls.
#include "app/Application.h"

#include "platform/TThread.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace {
QString TitleText;
} // namespace

namespace Application {

QString Title() {
    return TitleText;
}

void SetTitle(const QString& Title) {
    TitleText = Title;
}

void InstallMainThreadWake() {
    ThreadSync::SetMainThread();
    ThreadSync::SetWakeMainThread([] {
        // Called from any thread: a queued call is the thread-safe way into the main thread's loop.
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(
                app, [] { ThreadSync::CheckSynchronize(); }, Qt::QueuedConnection);
        }
    });
}

void RemoveMainThreadWake() {
    ThreadSync::SetWakeMainThread({});
}

} // namespace Application

// The application object's share that is ours: its title and the wake-up of the main thread.
#pragma once

#include <QString>

namespace Application {
// The caption of the program's message boxes and of the instruction window.
QString Title();
void SetTitle(const QString& Title);
// Lets worker threads wake the Qt event loop so that it serves their Synchronize calls; nested loops
// (modal boxes) serve them too. Call on the main thread after the QApplication exists.
void InstallMainThreadWake();
// Called before the QApplication goes away.
void RemoveMainThreadWake();
} // namespace Application

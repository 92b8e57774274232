// TFormProgFrm: choosing and loading the update file.
#include "app/ProgForm.h"

#include "app/Application.h"
#include "app/Dialogs.h"
#include "package/UpdateFile.h"

#include <QFile>
#include <QFileInfo>

void TFormProgFrm::ActionOpenExecute(QObject*) {
    if (OpenDialog1->exec() != QDialog::Accepted) {
        return;
    }
    const QStringList chosen = OpenDialog1->selectedFiles();
    if (chosen.isEmpty()) {
        return;
    }
    OpenDialog1FileName = chosen.first();
    LoadUpdateFile();
    // A file chosen by the user brings both version checks back, whether or not it could be loaded.
    SetSoftwareOverride(false);
    SetHardwareOverride(false);
}

bool TFormProgFrm::LoadUpdateFile() {
    const QFileInfo file(OpenDialog1FileName);
    // The caption names the file before it is read, so a refused file is named too.
    setWindowTitle(Application::Title() + QStringLiteral(" - '") + file.fileName() + QStringLiteral("'"));

    UpdateFileResult result = ReadUpdateFile(QFile::encodeName(OpenDialog1FileName).toStdString());
    if (!result.Ok) {
        // A refused file changes nothing of the package, the lists, the path or the progress bar.
        ShowNotice(QString::fromLocal8Bit(result.Error.c_str()));
        return true;
    }

    FileNameEdit->setText(file.absoluteFilePath());
    CLMemo->clear();
    for (const std::uint16_t revision : result.Package.HwRevisions) {
        CLMemo->addItem(
            QString::fromStdString(HardwareLine(result.Package.HwMajor, result.Package.HwMinor, revision)));
    }
    SCLMemo->clear();
    for (const std::uint16_t version : result.Package.SwVersions) {
        SCLMemo->addItem(QString::fromStdString(SoftwareLine(version)));
    }
    Package = std::move(result.Package);
    ProgressBar1->SetPosition(0);
    ProgressBar1->SetMax(result.PageCount);
    ProgressBar1->SetPosition(0);
    return false;
}

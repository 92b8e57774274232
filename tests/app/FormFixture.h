// The fixture of the main-window tests: settings in a temporary folder, a fake port list, real boxes.
#pragma once

#include "AppTestSupport.h"
#include "TempDir.h"

#include "app/ProgForm.h"
#include "app/ShowMsg.h"

#include <gtest/gtest.h>

#include <memory>

class FormFixture : public testing::Test {
protected:
    void SetUp() override {
        TFormProgFrm::SetSettingsPath(QString::fromStdString(SettingsFile()));
        TFormProgFrm::SetPortSource(Ports);
    }

    void TearDown() override {
        Form.reset();
        delete ShowMsgFrm;
        TFormProgFrm::SetSettingsPath(QString());
        TFormProgFrm::SetPortSource(nullptr);
    }

    std::string SettingsFile() const { return Dir.File("pagewright.ini"); }

    // `count` ports that name no device (paths in the test's folder): nothing here may open a real port.
    void SetPorts(int count) {
        Ports->Entries.clear();
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("port%1").arg(i);
            Ports->Entries.push_back({name, QString::fromStdString(Dir.File(name.toStdString()))});
        }
    }

    // Builds and shows the main window and the hidden instruction window, as the program starts.
    TFormProgFrm& Open() {
        Form = std::make_unique<TFormProgFrm>();
        ShowMsgFrm = new TShowMsgFrm(nullptr);
        Form->show();
        QCoreApplication::processEvents();
        return *Form;
    }

    // Closes the main window and destroys it, as the program ends.
    void Close() {
        Form->close();
        Form.reset();
    }

    TempDir Dir;
    std::shared_ptr<FakePortSource> Ports = std::make_shared<FakePortSource>();
    ModalAnswerer Answerer;
    std::unique_ptr<TFormProgFrm> Form;
};

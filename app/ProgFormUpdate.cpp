// TFormProgFrm: the update run: Start and Stop, received frames, version checks, pages and the outcome.
#include "app/ProgForm.h"

#include "link/COMConnector.h"
#include "link/IOUnit.h"

void TFormProgFrm::ActionProgramExecute(QObject*) {}

void TFormProgFrm::ActionProgramStop(QObject*) {}

void TFormProgFrm::ActionStopUpdate(QObject*) {
    ActionStop->SetEnabled(Connector != nullptr);
}

void TFormProgFrm::ActionInitExecute(QObject*) {}

void TFormProgFrm::ActionInitUpdate(QObject*) {
    ActionInit->SetEnabled(Connector == nullptr);
}

void TFormProgFrm::ProcessReceived(TThread*, ByteBuffer&) {}

void TFormProgFrm::HandleDeviceFrame(const DeviceFrame&) {}

void TFormProgFrm::FinishUpdate() {}

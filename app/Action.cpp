// TAction, TActionList and TBitBtn.
#include "app/Action.h"

#include "app/Dialogs.h"

#include <chrono>
#include <exception>

namespace {
// How often the update handlers run while the application is idle.
constexpr std::chrono::milliseconds kActionUpdateInterval{100};
} // namespace

TAction::TAction(QObject* Owner, const QString& Caption) : QObject(Owner), FCaption(Caption) {}

void TAction::SetCaption(const QString& Caption) {
    if (FCaption != Caption) {
        FCaption = Caption;
        emit Changed();
    }
}

void TAction::SetHint(const QString& Hint) {
    if (FHint != Hint) {
        FHint = Hint;
        emit Changed();
    }
}

void TAction::SetEnabled(bool Enabled) {
    if (FEnabled != Enabled) {
        FEnabled = Enabled;
        emit Changed();
    }
}

void TAction::SetVisible(bool Visible) {
    if (FVisible != Visible) {
        FVisible = Visible;
        emit Changed();
    }
}

void TAction::Update() {
    if (OnUpdate) {
        OnUpdate(this);
    }
}

bool TAction::Execute() {
    try {
        Update();
        if (!FEnabled || !OnExecute) {
            return false;
        }
        OnExecute(this);
        return true;
    } catch (const std::exception& error) {
        ShowException(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowException(QString());
    }
    return true;
}

TActionList::TActionList(QObject* Owner) : QObject(Owner) {
    // A zero-length timer would run the handlers in a busy loop; a short interval keeps the controls
    // current without keeping the processor awake.
    IdleTimer.setInterval(kActionUpdateInterval);
    connect(&IdleTimer, &QTimer::timeout, this, &TActionList::UpdateActions);
    IdleTimer.start();
}

void TActionList::Add(TAction* Action) {
    FActions.push_back(Action);
}

void TActionList::UpdateActions() {
    for (TAction* action : FActions) {
        try {
            action->Update();
        } catch (...) {
            // An update handler only computes a state; one that fails leaves the state as it was.
        }
    }
}

TBitBtn::TBitBtn(QWidget* Parent) : QPushButton(Parent) {
    connect(this, &QPushButton::clicked, this, [this] {
        if (FAction) {
            FAction->Execute();
        }
    });
}

void TBitBtn::SetAction(TAction* Action, bool CopyHint) {
    disconnect(FChanged);
    FAction = Action;
    if (!FAction) {
        return;
    }
    FChanged = connect(FAction, &TAction::Changed, this, &TBitBtn::ActionChanged);
    if (CopyHint) {
        setToolTip(FAction->Hint());
    }
    ActionChanged();
}

void TBitBtn::ActionChanged() {
    setText(FAction->Caption());
    setEnabled(FAction->Enabled());
    setVisible(FAction->Visible());
}

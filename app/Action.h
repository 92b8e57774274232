// TAction and TActionList: named commands with caption, hint and enabled state, and the button bound to one.
#pragma once

#include <QObject>
#include <QPushButton>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

class TAction;
using TActionEvent = std::function<void(TAction* Sender)>;

class TAction : public QObject {
    Q_OBJECT
public:
    TAction(QObject* Owner, const QString& Caption);

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& Caption);
    QString Hint() const { return FHint; }
    void SetHint(const QString& Hint);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Enabled);
    bool Visible() const { return FVisible; }
    void SetVisible(bool Visible);

    TActionEvent OnExecute;
    TActionEvent OnUpdate;

    // Runs the update handler, when there is one.
    void Update();
    // What a click on a bound control does: the update handler first, then the execute handler if the
    // action is enabled. An exception from a handler is shown in the exception box, as for any command.
    // Returns true when the execute handler ran.
    bool Execute();

signals:
    void Changed();

private:
    QString FCaption;
    QString FHint;
    bool FEnabled = true;
    bool FVisible = true;
};

// Holds the window's actions and runs their update handlers whenever the application is idle.
class TActionList : public QObject {
    Q_OBJECT
public:
    explicit TActionList(QObject* Owner);
    void Add(TAction* Action);
    const std::vector<TAction*>& Actions() const { return FActions; }
    void UpdateActions();

private:
    std::vector<TAction*> FActions;
    QTimer IdleTimer;
};

// A push button that shows an action's caption, enabled and visible state and runs it when clicked.
class TBitBtn : public QPushButton {
    Q_OBJECT
public:
    explicit TBitBtn(QWidget* Parent);
    TAction* Action() const { return FAction; }
    // Binding at run time also copies the action's hint onto the button; the binding made when the
    // window is built keeps the button's own hint.
    void SetAction(TAction* Action, bool CopyHint = true);

private:
    void ActionChanged();
    TAction* FAction = nullptr;
    QMetaObject::Connection FChanged;
};

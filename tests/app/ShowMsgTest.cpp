// The instruction window and the action binding of the Start/Stop button.
#include "AppTestSupport.h"

#include "app/Action.h"
#include "app/Application.h"
#include "app/ShowMsg.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(ShowMsg, ShowsTheInstructionInAFixedStayOnTopWindow) {
    TShowMsgFrm window;
    EXPECT_EQ(window.Label1->text(),
              "The mode of software updating  is included. Switch on device. If he is already included, "
              "switch off him for 10-20 seconds, then again switch on.");
    EXPECT_TRUE(window.Label1->wordWrap());
    EXPECT_EQ(window.Button1->text(), QString::fromUtf8("\xD0\x9E\xD0\x9A")); // Cyrillic O and K
    EXPECT_EQ(window.Button1->geometry(), QRect(138, 4, 75, 25));
    EXPECT_EQ(window.Panel1->height(), 32);
    EXPECT_EQ(window.Label1->size(), QSize(352, 56));
    EXPECT_EQ(window.size(), QSize(352 + 16, 88 + 16));
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(window.isModal());
    EXPECT_TRUE(window.isHidden());
}

TEST(ShowMsg, IsCentredWhenShown) {
    TShowMsgFrm window;
    window.show();
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_NEAR(window.frameGeometry().center().x(), centre.x(), 1);
    EXPECT_NEAR(window.frameGeometry().center().y(), centre.y(), 1);
}

TEST(ShowMsg, OkOnlyHidesTheWindow) {
    TShowMsgFrm window;
    window.show();
    ASSERT_TRUE(window.isVisible());
    window.Button1->click();
    EXPECT_FALSE(window.isVisible());
    window.Button1Click(); // closing a hidden window has no effect
    EXPECT_FALSE(window.isVisible());
}

TEST(ShowMsg, GlobalReferenceIsClearedWhenTheWindowGoes) {
    ShowMsgFrm = new TShowMsgFrm(nullptr);
    delete ShowMsgFrm;
    EXPECT_EQ(ShowMsgFrm, nullptr);
}

TEST(Action, ExecuteRunsTheUpdateHandlerFirstAndExecutesOnlyWhenEnabled) {
    TAction action(nullptr, QStringLiteral("Go"));
    bool allow = false;
    int executed = 0;
    action.OnUpdate = [&](TAction* Sender) { Sender->SetEnabled(allow); };
    action.OnExecute = [&](TAction*) { ++executed; };
    EXPECT_FALSE(action.Execute());
    EXPECT_EQ(executed, 0);
    allow = true;
    EXPECT_TRUE(action.Execute());
    EXPECT_EQ(executed, 1);
}

TEST(Action, BoundButtonFollowsTheActionAndAFailureIsShownInTheExceptionBox) {
    Application::SetTitle(QStringLiteral("RVK-318 Pagewright"));
    ModalAnswerer answerer;
    TAction action(nullptr, QStringLiteral("Go"));
    action.OnExecute = [](TAction*) { throw std::runtime_error("went wrong"); };
    TBitBtn button(nullptr);
    button.setToolTip(QStringLiteral("own hint"));
    button.SetAction(&action, false);
    EXPECT_EQ(button.text(), "Go");
    EXPECT_EQ(button.toolTip(), "own hint");
    action.SetCaption(QStringLiteral("Went"));
    action.SetEnabled(false);
    EXPECT_EQ(button.text(), "Went");
    EXPECT_FALSE(button.isEnabled());

    action.SetEnabled(true);
    button.click();
    ASSERT_EQ(answerer.Boxes.size(), 1u);
    EXPECT_EQ(answerer.Boxes[0].Text, "went wrong");
    EXPECT_EQ(answerer.Boxes[0].Title, "RVK-318 Pagewright");
}

} // namespace

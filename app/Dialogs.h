// The program's message boxes: modal, captioned with the application title.
#pragma once

#include <QString>

// Yes and No, no icon; true only for Yes.
bool AskQuestion(const QString& Text);
// The text with an OK button.
void ShowNotice(const QString& Text);
// The standard exception box: the exception's text (empty for an exception without one).
void ShowException(const QString& Message);

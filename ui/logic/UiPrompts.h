#pragma once
// What the windows ask of the user and of the desktop: information and error
// boxes, Yes/No questions, and opening a web page or document with the
// desktop's default handler. The program uses TWidgetPrompts; tests record
// the calls instead.

#include <QString>
#include <QUrl>

class TUiPrompts {
public:
    virtual ~TUiPrompts() = default;
    // An information box ("Please select a Proxy", "Check done").
    virtual void ShowMessage(const QString &text) = 0;
    // An error that reached the user (the failure's own message).
    virtual void ShowError(const QString &text) = 0;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const QString &text) = 0;
    // A web page or a document, opened by the desktop; the result is not
    // looked at.
    virtual void OpenUrl(const QUrl &url) = 0;
    // Where to save a file: the chosen path, empty when cancelled (and
    // always, where no one can be asked).
    virtual QString AskSaveFileName(const QString &caption, const QString &suggested) {
        (void)caption;
        (void)suggested;
        return {};
    }
};

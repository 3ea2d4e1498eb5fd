#pragma once
// What the windows ask of the user and of the desktop: information and error
// boxes, Yes/No questions, and opening a web page or document with the
// desktop's default handler, and the question closing the window asks while
// chains carry connections. The program uses TWidgetPrompts; tests record
// the calls instead.

#include <QString>
#include <QUrl>

// The answers to the close question. Keep: the window hides and the
// program runs on in the tray; Quit: the program ends; Cancel: nothing.
enum class TCloseChoice { Keep, Quit, Cancel };
struct TCloseAnswer {
    TCloseChoice Choice = TCloseChoice::Cancel;
    bool DontAskAgain = false; // "Don't ask again" was ticked
};

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
    // Closing the window while the chains carry `openConnections` client
    // connections. With a tray the answers are Keep, Quit and Cancel and
    // "Don't ask again" is offered; without one only Quit and Cancel. Where
    // no one can be asked the window stays: Cancel.
    virtual TCloseAnswer AskClose(int openConnections, bool trayAvailable) {
        (void)openConnections;
        (void)trayAvailable;
        return {};
    }
};

#pragma once
// The application object of the window mode. A failure that escapes an
// event handler is shown in a message box with its text, and the program
// goes on.

#include <QApplication>

class TVelmoraApplication : public QApplication {
public:
    TVelmoraApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

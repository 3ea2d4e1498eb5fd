#include "app/VelmoraApplication.h"

#include "ui/logic/MainScreenLogic.h"

#include <QMessageBox>
#include <exception>

TVelmoraApplication::TVelmoraApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool TVelmoraApplication::notify(QObject *receiver, QEvent *event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        QMessageBox::critical(activeWindow(), TMainScreenLogic::ApplicationTitle,
                              QString::fromUtf8(e.what()));
    }
    return false;
}

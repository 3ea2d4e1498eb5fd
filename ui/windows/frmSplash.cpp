#include "ui/windows/frmSplash.h"

#include "ui/windows/Pictures.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

TfrmSplash::TfrmSplash() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("frmSplash"));
    setFixedSize(549, 168);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

void TfrmSplash::ShowNow() {
    show();
    raise();
    // Map and paint before the caller goes on working on this thread.
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    repaint();
}

void TfrmSplash::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setPen(QColor(192, 192, 192));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.drawPixmap(QPoint(16, 36),
                 TPictures::Pixmap(QStringLiteral("splash"), QSize(500, 100), devicePixelRatioF()));
}

#include "ui/windows/Pictures.h"

#include "ui/windows/FormParts.h"

#include <QApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>
#include <cmath>
#include <memory>

namespace {

QString PicturePath(const QString &name) {
    return QStringLiteral(":/velmora/%1.svg").arg(name);
}

// The drawing rendered into `pixels` device pixels, centred and keeping its
// proportions.
QImage Render(QSvgRenderer &renderer, QSize pixels) {
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (!renderer.isValid() || pixels.isEmpty())
        return image;
    const QSize fitted = renderer.defaultSize().scaled(pixels, Qt::KeepAspectRatio);
    const QRectF target(
        QPointF((pixels.width() - fitted.width()) / 2.0, (pixels.height() - fitted.height()) / 2.0),
        fitted);
    QPainter p(&image);
    renderer.render(&p, target);
    return image;
}

// Draws an SVG drawing for QIcon at the size it is asked for. Qt asks
// scaledPixmap() for the device pixels already multiplied by the ratio.
class TSvgIconEngine : public QIconEngine {
public:
    explicit TSvgIconEngine(const QString &path) : FPath(path) {}

    QIconEngine *clone() const override { return new TSvgIconEngine(FPath); }
    QString key() const override { return QStringLiteral("velmora-svg"); }
    bool isNull() override { return !Renderer().isValid(); }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override {
        if (!Renderer().isValid())
            return {};
        return Renderer().defaultSize().scaled(size, Qt::KeepAspectRatio);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State, qreal) override {
        const QString cacheKey = QStringLiteral("velmora:%1:%2x%3:%4")
                                     .arg(FPath)
                                     .arg(size.width())
                                     .arg(size.height())
                                     .arg(static_cast<int>(mode));
        QPixmap pixmap;
        if (QPixmapCache::find(cacheKey, &pixmap))
            return pixmap;
        pixmap = QPixmap::fromImage(Render(Renderer(), actualSize(size, mode, QIcon::Off)));
        if (mode != QIcon::Normal && qobject_cast<QApplication *>(QCoreApplication::instance())) {
            QStyleOption option;
            option.palette = QApplication::palette();
            const QPixmap generated =
                QApplication::style()->generatedIconPixmap(mode, pixmap, &option);
            if (!generated.isNull())
                pixmap = generated;
        }
        QPixmapCache::insert(cacheKey, pixmap);
        return pixmap;
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap pm = scaledPixmap(rect.size() * dpr, mode, state, dpr);
        pm.setDevicePixelRatio(dpr);
        const QSizeF shown = pm.deviceIndependentSize();
        painter->drawPixmap(QPointF(rect.x() + (rect.width() - shown.width()) / 2,
                                    rect.y() + (rect.height() - shown.height()) / 2),
                            pm);
    }

private:
    QSvgRenderer &Renderer() {
        if (!FRenderer)
            FRenderer = std::make_unique<QSvgRenderer>(FPath);
        return *FRenderer;
    }

    QString FPath;
    std::unique_ptr<QSvgRenderer> FRenderer;
};

} // namespace

QIcon TPictures::Icon(const QString &name) {
    return QIcon(new TSvgIconEngine(PicturePath(name)));
}

QPixmap TPictures::Pixmap(const QString &name, QSize size, qreal dpr) {
    QSvgRenderer renderer(PicturePath(name));
    const QSize pixels(std::lround(size.width() * dpr), std::lround(size.height() * dpr));
    QPixmap pixmap = QPixmap::fromImage(Render(renderer, pixels));
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

int TPictures::IconSide(const QWidget *widget) {
    return TFormParts::Scaled(widget, 32);
}

TPictureLabel::TPictureLabel(const QString &picture, QWidget *parent)
    : QLabel(parent), FPicture(picture) {}

void TPictureLabel::paintEvent(QPaintEvent *e) {
    QLabel::paintEvent(e);
    QPainter p(this);
    p.drawPixmap(contentsRect().topLeft(),
                 TPictures::Pixmap(FPicture, contentsRect().size(), devicePixelRatioF()));
}

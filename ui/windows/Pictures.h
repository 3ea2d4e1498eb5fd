#pragma once
// The program's pictures: hand-written SVG drawings compiled in under
// ":/velmora/NAME.svg" (ui/resources), drawn by Qt SVG at whatever size and
// device pixel ratio they are shown at, so that they stay sharp on any
// screen. No image-format or icon-engine plugin is needed: the drawings go
// through QSvgRenderer here, and the program links Qt SVG itself.

#include <QIcon>
#include <QLabel>
#include <QString>

class QWidget;

class TPictures {
public:
    // The icon of the drawing NAME; empty when there is no such drawing.
    static QIcon Icon(const QString &name);
    // The drawing NAME at `size` (device-independent pixels) for a device of
    // `dpr` device pixels per pixel; a transparent pixmap when there is none.
    static QPixmap Pixmap(const QString &name, QSize size, qreal dpr);
    // The side of a command button's icon: 32 pixels at the design's text
    // line (TFormParts::Scaled), following `widget`'s font.
    static int IconSide(const QWidget *widget);
};

// A label that shows a drawing stretched over its whole area, drawn at the
// device's own resolution on every paint.
class TPictureLabel : public QLabel {
public:
    TPictureLabel(const QString &picture, QWidget *parent);
    const QString &PictureName() const { return FPicture; }

protected:
    void paintEvent(QPaintEvent *e) override;

private:
    QString FPicture;
};

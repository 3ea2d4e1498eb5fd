// Draws the program's pictures (splash, logo, banner, button icons) into
// the folder given as the only argument. The PNGs it makes are kept in the
// repository; run it again after changing a drawing:
//   cmake --build build --target velmora_make_pictures
//   QT_QPA_PLATFORM=offscreen ./build/tools/velmora_make_pictures ui/resources
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <functional>

namespace {

const QColor Teal(24, 98, 112);
const QColor TealLight(52, 150, 160);
const QColor Amber(250, 208, 41);
const QColor Ink(33, 37, 41);

QString gFolder;

void Save(const QImage &image, const QString &name) {
    image.save(gFolder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

QImage Canvas(int w, int h, const QColor &fill = Qt::transparent) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    return image;
}

void Antialias(QPainter &p) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

// The mark: a shield with a "V" cut out of it, in a w x w box at (x, y).
void DrawMark(QPainter &p, qreal x, qreal y, qreal w) {
    QPainterPath shield;
    shield.moveTo(x + w * 0.5, y);
    shield.cubicTo(x + w * 0.72, y + w * 0.1, x + w * 0.9, y + w * 0.1, x + w, y + w * 0.1);
    shield.cubicTo(x + w, y + w * 0.62, x + w * 0.78, y + w * 0.86, x + w * 0.5, y + w);
    shield.cubicTo(x + w * 0.22, y + w * 0.86, x, y + w * 0.62, x, y + w * 0.1);
    shield.cubicTo(x + w * 0.1, y + w * 0.1, x + w * 0.28, y + w * 0.1, x + w * 0.5, y);
    QLinearGradient g(x, y, x + w, y + w);
    g.setColorAt(0, TealLight);
    g.setColorAt(1, Teal);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawPath(shield);
    QPainterPath v;
    v.moveTo(x + w * 0.24, y + w * 0.28);
    v.lineTo(x + w * 0.38, y + w * 0.28);
    v.lineTo(x + w * 0.5, y + w * 0.62);
    v.lineTo(x + w * 0.62, y + w * 0.28);
    v.lineTo(x + w * 0.76, y + w * 0.28);
    v.lineTo(x + w * 0.56, y + w * 0.8);
    v.lineTo(x + w * 0.44, y + w * 0.8);
    v.closeSubpath();
    p.setBrush(Amber);
    p.drawPath(v);
}

void DrawWordmark(QPainter &p, qreal x, qreal y, int big, int small, const QColor &text) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(big);
    f.setBold(true);
    p.setFont(f);
    p.setPen(text);
    p.drawText(QPointF(x, y + big), QStringLiteral("Velmora"));
    f.setPixelSize(small);
    f.setBold(false);
    f.setLetterSpacing(QFont::AbsoluteSpacing, small * 0.25);
    p.setFont(f);
    p.setPen(text == Qt::white ? QColor(220, 235, 238) : Teal);
    p.drawText(QPointF(x + 2, y + big + small + 4), QStringLiteral("ANONYMIZER"));
}

// ---- glyphs in a 32 x 32 box -------------------------------------------------

void Globe(QPainter &p, const QColor &c) {
    p.setPen(QPen(c, 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(3, 3, 24, 24));
    p.drawEllipse(QRectF(10, 3, 10, 24));
    p.drawLine(QPointF(3, 15), QPointF(27, 15));
    p.drawLine(QPointF(6, 9), QPointF(24, 9));
    p.drawLine(QPointF(6, 21), QPointF(24, 21));
}

void Chain(QPainter &p, const QColor &c) {
    p.setPen(QPen(c, 3.2));
    p.setBrush(Qt::NoBrush);
    p.save();
    p.translate(15, 15);
    p.rotate(-40);
    p.drawRoundedRect(QRectF(-14, -5, 16, 10), 5, 5);
    p.drawRoundedRect(QRectF(-2, -5, 16, 10), 5, 5);
    p.restore();
}

void Mask(QPainter &p, const QColor &c) {
    QPainterPath mask;
    mask.moveTo(2, 10);
    mask.cubicTo(8, 6, 12, 8, 15, 11);
    mask.cubicTo(18, 8, 22, 6, 28, 10);
    mask.cubicTo(29, 18, 25, 22, 20, 22);
    mask.cubicTo(17, 22, 16, 19, 15, 18);
    mask.cubicTo(14, 19, 13, 22, 10, 22);
    mask.cubicTo(5, 22, 1, 18, 2, 10);
    QPainterPath eyes;
    eyes.addEllipse(QRectF(6, 12, 6, 4));
    eyes.addEllipse(QRectF(18, 12, 6, 4));
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(mask.subtracted(eyes));
}

void Gear(QPainter &p, const QColor &c) {
    QPainterPath gear;
    const QPointF centre(15, 15);
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const qreal r = (i % 2 == 0) ? 13.5 : 10.5;
        const qreal a0 = (i - 0.5) * M_PI / teeth;
        const qreal a1 = (i + 0.5) * M_PI / teeth;
        const QPointF p0 = centre + QPointF(r * std::cos(a0), r * std::sin(a0));
        const QPointF p1 = centre + QPointF(r * std::cos(a1), r * std::sin(a1));
        if (i == 0)
            gear.moveTo(p0);
        else
            gear.lineTo(p0);
        gear.lineTo(p1);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(centre, 4.5, 4.5);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(gear.subtracted(hole));
}

void Question(QPainter &p, const QColor &c) {
    p.setPen(QPen(c, 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(3, 3, 24, 24));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(18);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(3, 3, 24, 24), Qt::AlignCenter, QStringLiteral("?"));
}

void Stop(QPainter &p) {
    QPolygonF octagon;
    for (int i = 0; i < 8; ++i) {
        const qreal a = (i + 0.5) * M_PI / 4;
        octagon << QPointF(15 + 13.5 * std::cos(a), 15 + 13.5 * std::sin(a));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 48, 48));
    p.drawPolygon(octagon);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(10, 10, 10, 10));
}

// A green disc with a white "play" triangle.
void Start(QPainter &p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(46, 160, 67));
    p.drawEllipse(QRectF(1.5, 1.5, 27, 27));
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(11, 8), QPointF(23, 15), QPointF(11, 22)}));
}

// ---- badges at the bottom right ----------------------------------------------

void Badge(QPainter &p, const QColor &fill, const std::function<void(QPainter &)> &mark) {
    p.setPen(QPen(Qt::white, 1.5));
    p.setBrush(fill);
    p.drawEllipse(QRectF(18, 18, 13, 13));
    p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap));
    mark(p);
}

void PlusBadge(QPainter &p) {
    Badge(p, QColor(46, 160, 67), [](QPainter &q) {
        q.drawLine(QPointF(24.5, 21), QPointF(24.5, 28));
        q.drawLine(QPointF(21, 24.5), QPointF(28, 24.5));
    });
}

void CrossBadge(QPainter &p) {
    Badge(p, QColor(207, 34, 46), [](QPainter &q) {
        q.drawLine(QPointF(22, 22), QPointF(27, 27));
        q.drawLine(QPointF(27, 22), QPointF(22, 27));
    });
}

void PencilBadge(QPainter &p) {
    Badge(p, QColor(9, 105, 218), [](QPainter &q) {
        q.drawLine(QPointF(21.5, 27.5), QPointF(27.5, 21.5));
        q.drawPoint(QPointF(21, 28));
    });
}

void CheckBadge(QPainter &p) {
    Badge(p, QColor(191, 135, 0), [](QPainter &q) {
        q.drawLine(QPointF(21, 24.5), QPointF(23.5, 27));
        q.drawLine(QPointF(23.5, 27), QPointF(28, 21.5));
    });
}

void PlayBadge(QPainter &p) {
    Badge(p, QColor(46, 160, 67), [](QPainter &q) {
        q.setPen(Qt::NoPen);
        q.setBrush(Qt::white);
        q.drawPolygon(QPolygonF({QPointF(22, 21), QPointF(28.5, 24.5), QPointF(22, 28)}));
    });
}

void StopBadge(QPainter &p) {
    Badge(p, QColor(207, 34, 46), [](QPainter &q) {
        q.setPen(Qt::NoPen);
        q.setBrush(Qt::white);
        q.drawRect(QRectF(21.5, 21.5, 6, 6));
    });
}

void RestartBadge(QPainter &p) {
    Badge(p, QColor(9, 105, 218), [](QPainter &q) {
        q.setBrush(Qt::NoBrush);
        q.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
        q.drawArc(QRectF(21, 21, 7, 7), 90 * 16, 270 * 16);
        q.setPen(Qt::NoPen);
        q.setBrush(Qt::white);
        q.drawPolygon(QPolygonF({QPointF(23.5, 19.5), QPointF(26.5, 21), QPointF(23.5, 23)}));
    });
}

QImage Icon(const std::function<void(QPainter &)> &draw, int size = 32) {
    QImage image = Canvas(size, size);
    QPainter p(&image);
    Antialias(p);
    p.scale(size / 32.0, size / 32.0);
    draw(p);
    return image;
}

void MakeIcons() {
    Save(Icon([](QPainter &p) { Globe(p, Teal); }), QStringLiteral("proxymgr"));
    Save(Icon([](QPainter &p) { Mask(p, Ink); }), QStringLiteral("anonymize"));
    Save(Icon([](QPainter &p) { Chain(p, Teal); }), QStringLiteral("chain"));
    Save(Icon([](QPainter &p) { Gear(p, QColor(90, 96, 104)); }), QStringLiteral("settings"));
    Save(Icon([](QPainter &p) { Question(p, Teal); }), QStringLiteral("help"));
    Save(Icon([](QPainter &p) {
             Globe(p, Teal);
             PlusBadge(p);
         }),
         QStringLiteral("addproxy"));
    Save(Icon([](QPainter &p) {
             Globe(p, Teal);
             PencilBadge(p);
         }),
         QStringLiteral("editproxy"));
    Save(Icon([](QPainter &p) {
             Globe(p, Teal);
             CrossBadge(p);
         }),
         QStringLiteral("deleteproxy"));
    Save(Icon([](QPainter &p) {
             Globe(p, Teal);
             CheckBadge(p);
         }),
         QStringLiteral("testproxy"));
    Save(Icon([](QPainter &p) { Stop(p); }), QStringLiteral("stopall"));
    Save(Icon([](QPainter &p) { Start(p); }), QStringLiteral("startall"));
    Save(Icon([](QPainter &p) {
             Chain(p, Teal);
             PlayBadge(p);
         }),
         QStringLiteral("startchain"));
    Save(Icon([](QPainter &p) {
             Chain(p, Teal);
             StopBadge(p);
         }),
         QStringLiteral("stopchain"));
    Save(Icon([](QPainter &p) {
             Chain(p, Teal);
             RestartBadge(p);
         }),
         QStringLiteral("restartchain"));
    Save(Icon([](QPainter &p) {
             Chain(p, Teal);
             CheckBadge(p);
         }),
         QStringLiteral("testchain"));
    Save(Icon([](QPainter &p) {
             Chain(p, Teal);
             PlusBadge(p);
         }),
         QStringLiteral("addchain"));
    Save(Icon([](QPainter &p) {
             Chain(p, Teal);
             PencilBadge(p);
         }),
         QStringLiteral("editchain"));
    Save(Icon([](QPainter &p) {
             Chain(p, Teal);
             CrossBadge(p);
         }),
         QStringLiteral("deletechain"));
    QImage app = Canvas(64, 64);
    {
        QPainter p(&app);
        Antialias(p);
        DrawMark(p, 4, 4, 56);
    }
    Save(app, QStringLiteral("appicon"));
}

void MakeLogo() {
    QImage image = Canvas(150, 75);
    QPainter p(&image);
    Antialias(p);
    DrawMark(p, 4, 10, 52);
    DrawWordmark(p, 62, 14, 19, 9, Ink);
    Save(image, QStringLiteral("logo"));
}

void MakeSplash() {
    QImage image = Canvas(500, 100, Qt::white);
    QPainter p(&image);
    Antialias(p);
    DrawMark(p, 10, 6, 88);
    DrawWordmark(p, 116, 16, 40, 15, Ink);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(11);
    p.setFont(f);
    p.setPen(QColor(110, 116, 122));
    p.drawText(QRectF(116, 78, 380, 18), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Proxy chains for every program - starting..."));
    Save(image, QStringLiteral("splash"));
}

void MakeBanner() {
    QImage image = Canvas(398, 76, Qt::white);
    QPainter p(&image);
    Antialias(p);
    QLinearGradient g(0, 0, 398, 0);
    g.setColorAt(0, Teal);
    g.setColorAt(1, TealLight);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 4, 394, 68), 8, 8);
    // A chain of three hops across the banner.
    p.setPen(QPen(QColor(255, 255, 255, 90), 2, Qt::DashLine));
    p.drawLine(QPointF(250, 38), QPointF(380, 38));
    for (int i = 0; i < 3; ++i) {
        p.setPen(QPen(Qt::white, 2));
        p.setBrush(i == 2 ? Amber : QColor(255, 255, 255, 60));
        p.drawEllipse(QPointF(262 + i * 55, 38), 9, 9);
    }
    DrawMark(p, 12, 12, 52);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(17);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QPointF(76, 34), QStringLiteral("Get more proxies"));
    f.setPixelSize(11);
    f.setBold(false);
    p.setFont(f);
    p.setPen(QColor(225, 240, 242));
    p.drawText(QPointF(77, 53), QStringLiteral("Fresh lists and help on our web site"));
    Save(image, QStringLiteral("banner"));
}

} // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    gFolder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(gFolder);
    MakeIcons();
    MakeLogo();
    MakeSplash();
    MakeBanner();
    return 0;
}

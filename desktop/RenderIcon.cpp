// Renders the program's SVG icon as a square PNG of the given size, for the
// hicolor icon theme:  velmora_render_icon IN.svg SIZE OUT.png
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: velmora_render_icon IN.svg SIZE OUT.png\n");
        return 2;
    }
    // No display is needed: the offscreen platform unless one was chosen.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    const int size = std::atoi(argv[2]);
    if (!svg.isValid() || size <= 0 || size > 4096) {
        std::fprintf(stderr, "velmora_render_icon: cannot render %s at %s\n", argv[1], argv[2]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p, QRectF(0, 0, size, size));
    }
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "velmora_render_icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}

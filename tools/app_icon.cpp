// quorvane-icons OUTDIR: draws the program's icon into a hicolor tree,
// OUTDIR/{48x48,128x128,256x256}/apps/quorvane.png and
// OUTDIR/scalable/apps/quorvane.svg, from one list of shapes so the sizes
// never differ from each other.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cstdio>
#include <vector>

namespace {

// The icon is designed on a 256-unit square.
constexpr double canvas = 256.0;

enum class kind { rounded_square, disc, ring, stroke };

struct shape {
    kind what;
    double x1, y1, x2, y2;  // square: corners; disc/ring: centre and radius in x2; stroke: ends
    double width;           // corner radius (square) or line width (ring, stroke)
    const char* top;        // fill or line colour; the square runs from top to bottom
    const char* bottom;
};

// A blue tile, a white disk with its hub, and a yellow magnifier over it.
const std::vector<shape> icon = {
    {kind::rounded_square, 8, 8, 248, 248, 44, "#3b8eea", "#1a4c95"},
    {kind::disc, 112, 112, 78, 0, 0, "#f4f8ff", nullptr},
    {kind::ring, 112, 112, 50, 0, 3, "#b9cde8", nullptr},
    {kind::disc, 112, 112, 15, 0, 0, "#1a4c95", nullptr},
    {kind::stroke, 190, 190, 228, 228, 30, "#f2b705", nullptr},
    {kind::ring, 160, 160, 44, 0, 18, "#ffd23f", nullptr},
};

QString svg() {
    QString out = QString("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                          "viewBox=\"0 0 %1 %1\">\n")
                      .arg(canvas);
    int gradients = 0;
    for (const shape& s : icon) {
        switch (s.what) {
            case kind::rounded_square:
                out += QString("  <defs><linearGradient id=\"g%1\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"1\">"
                               "<stop offset=\"0\" stop-color=\"%2\"/><stop offset=\"1\" stop-color=\"%3\"/>"
                               "</linearGradient></defs>\n")
                           .arg(gradients)
                           .arg(s.top, s.bottom);
                out += QString("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\" fill=\"url(#g%6)\"/>\n")
                           .arg(s.x1)
                           .arg(s.y1)
                           .arg(s.x2 - s.x1)
                           .arg(s.y2 - s.y1)
                           .arg(s.width)
                           .arg(gradients++);
                break;
            case kind::disc:
                out += QString("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"/>\n")
                           .arg(s.x1)
                           .arg(s.y1)
                           .arg(s.x2)
                           .arg(s.top);
                break;
            case kind::ring:
                out += QString("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"none\" stroke=\"%4\" "
                               "stroke-width=\"%5\"/>\n")
                           .arg(s.x1)
                           .arg(s.y1)
                           .arg(s.x2)
                           .arg(s.top)
                           .arg(s.width);
                break;
            case kind::stroke:
                out += QString("  <line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" stroke=\"%5\" stroke-width=\"%6\" "
                               "stroke-linecap=\"round\"/>\n")
                           .arg(s.x1)
                           .arg(s.y1)
                           .arg(s.x2)
                           .arg(s.y2)
                           .arg(s.top)
                           .arg(s.width);
                break;
        }
    }
    return out + "</svg>\n";
}

QImage png(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / canvas, size / canvas);
    for (const shape& s : icon) {
        switch (s.what) {
            case kind::rounded_square: {
                QLinearGradient g(0, s.y1, 0, s.y2);
                g.setColorAt(0, QColor(s.top));
                g.setColorAt(1, QColor(s.bottom));
                p.setPen(Qt::NoPen);
                p.setBrush(g);
                p.drawRoundedRect(QRectF(s.x1, s.y1, s.x2 - s.x1, s.y2 - s.y1), s.width, s.width);
                break;
            }
            case kind::disc:
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(s.top));
                p.drawEllipse(QPointF(s.x1, s.y1), s.x2, s.x2);
                break;
            case kind::ring:
                p.setPen(QPen(QColor(s.top), s.width));
                p.setBrush(Qt::NoBrush);
                p.drawEllipse(QPointF(s.x1, s.y1), s.x2, s.x2);
                break;
            case kind::stroke:
                p.setPen(QPen(QColor(s.top), s.width, Qt::SolidLine, Qt::RoundCap));
                p.drawLine(QPointF(s.x1, s.y1), QPointF(s.x2, s.y2));
                break;
        }
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvane-icons OUTDIR\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    for (int size : {48, 128, 256}) {
        const QString dir = QString("%1/%2x%2/apps").arg(root).arg(size);
        ok = QDir().mkpath(dir) && png(size).save(dir + "/quorvane.png", "PNG") && ok;
    }
    const QString scalable = root + "/scalable/apps";
    QFile file(scalable + "/quorvane.svg");
    ok = QDir().mkpath(scalable) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(svg().toUtf8()) > 0 && ok;
    if (!ok) std::fprintf(stderr, "quorvane-icons: cannot write into %s\n", argv[1]);
    return ok ? 0 : 1;
}

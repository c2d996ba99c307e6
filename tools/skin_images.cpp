// Draws every skin image of the desktop program (buttons, frame, icons, the busy
// animation) and writes them with a Qt resource file listing them:
//   quorvane-skin-images [UI_FOLDER]     (default: the source tree's ui/ folder)
// The images are committed, so building the program needs no fonts; running this
// needs fonts for the lettering, CJK fonts included.
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <functional>

#include "tools/gif_writer.hpp"
#include "tools/skin_lettering.hpp"
#include "tools/skin_painter.hpp"

using namespace qv::skin;
using qv::write_animated_gif;

namespace {

QString out_dir;
QStringList written;
bool ok = true;

void save(const QImage& image, const QString& relative) {
    if (!save_png(image, out_dir + "/" + relative)) ok = false;
    written << relative;
}

// Three images for the states of one button, drawn by draw(painter, state).
void save_states(int w, int h, const QString& pattern,
                 const std::function<void(QPainter&, int)>& draw) {
    for (int state = 1; state <= 3; ++state) {
        QImage image = canvas(w, h);
        QPainter p;
        begin(p, image);
        draw(p, state);
        p.end();
        save(image, pattern.arg(state));
    }
}

// ---- the window frame ----

void frame_images() {
    // Top band: a blue gradient with rounded upper corners.
    QImage so = canvas(800, 100);
    {
        QPainter p;
        begin(p, so);
        QLinearGradient g(0, 0, 0, 100);
        g.setColorAt(0, QColor(96, 160, 216));
        g.setColorAt(0.55, blue_mid);
        g.setColorAt(1, blue_dark);
        QPainterPath band;
        band.addRoundedRect(QRectF(0, 0, 800, 120), 8, 8);
        p.setClipRect(0, 0, 800, 100);
        p.fillPath(band, g);
        p.setPen(QPen(QColor(255, 255, 255, 60), 1));
        p.drawLine(QPointF(8, 0.5), QPointF(792, 0.5));
        p.setPen(QPen(blue_light, 1));
        p.drawLine(QPointF(0, 99.5), QPointF(800, 99.5));
    }
    save(so, "images/system/so.png");

    QImage su(10, 4, QImage::Format_ARGB32_Premultiplied);
    su.fill(blue_dark);
    save(su, "images/system/su.png");
    QImage side(3, 539, QImage::Format_ARGB32_Premultiplied);
    side.fill(blue_dark);
    save(side, "images/system/sl.png");
    save(side, "images/system/sr.png");

    // Title-bar buttons: white glyphs, a light hover and a darker press.
    auto title_button = [](const QString& name, const std::function<void(QPainter&)>& glyph,
                           bool close) {
        save_states(30, 21, "images/system/" + name + "%1.png", [&](QPainter& p, int state) {
            if (state > 1) {
                QColor bg = close ? (state == 2 ? QColor(222, 82, 82) : QColor(186, 52, 52))
                                  : QColor(255, 255, 255, state == 2 ? 55 : 100);
                p.setPen(Qt::NoPen);
                p.setBrush(bg);
                p.drawRoundedRect(QRectF(1, 1, 28, 19), 3, 3);
            }
            p.setPen(QPen(white, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.setBrush(Qt::NoBrush);
            glyph(p);
        });
    };
    title_button(
        "quiButton",
        [](QPainter& p) {
            p.drawLine(QPointF(11, 6), QPointF(19, 14));
            p.drawLine(QPointF(19, 6), QPointF(11, 14));
        },
        true);
    title_button(
        "maxButton", [](QPainter& p) { p.drawRect(QRectF(10.5, 5.5, 9, 9)); }, false);
    title_button(
        "resumeButton",
        [](QPainter& p) {
            p.drawRect(QRectF(10.5, 7.5, 7, 7));
            p.drawPolyline(QPolygonF({QPointF(12.5, 7.5), QPointF(12.5, 5.5), QPointF(19.5, 5.5),
                                      QPointF(19.5, 12.5), QPointF(17.5, 12.5)}));
        },
        false);
    title_button(
        "minButton", [](QPainter& p) { p.drawLine(QPointF(10.5, 13.5), QPointF(19.5, 13.5)); },
        false);
    title_button(
        "settingButton",
        [](QPainter& p) {
            for (qreal y : {6.5, 10.5, 14.5}) p.drawLine(QPointF(10.5, y), QPointF(19.5, y));
        },
        false);
}

// The program's mark: a lens over a partitioned disc.
void mark(QPainter& p, const QPointF& c, qreal r, const QColor& line, const QColor& glass) {
    magnifier(p, c, r, std::max<qreal>(1.5, r / 6.5), line, glass);
    QColor slice = line;
    slice.setAlpha(150);
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(slice);
    qreal s = r * 0.62;
    p.drawPie(QRectF(c.x() - s, c.y() - s, 2 * s, 2 * s), 90 * 16, 110 * 16);
    p.restore();
}

void brand_images() {
    QImage logo = canvas(107, 77);
    {
        QPainter p;
        begin(p, logo);
        mark(p, QPointF(48, 24), 17, white, QColor(255, 255, 255, 45));
        fit_text(p, QRectF(0, 52, 107, 22), "Quorvane", white, 17, 10, true, Qt::AlignCenter);
    }
    save(logo, "images/top/logo.png");

    QImage icon = canvas(48, 48);
    {
        QPainter p;
        begin(p, icon);
        QLinearGradient g(0, 0, 0, 48);
        g.setColorAt(0, QColor(112, 175, 230));
        g.setColorAt(1, blue_dark);
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawRoundedRect(QRectF(1, 1, 46, 46), 10, 10);
        mark(p, QPointF(21, 20), 11, white, QColor(255, 255, 255, 50));
    }
    QImageWriter ico(out_dir + "/images/top.ico", "ico");
    if (!ico.write(icon)) {
        std::fprintf(stderr, "cannot write top.ico: %s\n", qPrintable(ico.errorString()));
        ok = false;
    }
    written << "images/top.ico";
}

// ---- pages ----

void page_images() {
    QImage bai(5, 50, QImage::Format_ARGB32_Premultiplied);
    {
        QPainter p(&bai);
        QLinearGradient g(0, 0, 0, 50);
        g.setColorAt(0, blue_pale);
        g.setColorAt(1, white);
        p.fillRect(bai.rect(), g);
    }
    save(bai, "images/background/bai.png");

    // Home picture: three text lines are painted over it at baselines 50, 100, 150.
    QImage wenzi = canvas(692, 188);
    {
        QPainter p;
        begin(p, wenzi);
        QLinearGradient g(0, 0, 0, 188);
        g.setColorAt(0, QColor(241, 250, 255));
        g.setColorAt(1, white);
        p.setPen(QPen(blue_light, 1));
        p.setBrush(g);
        p.drawRoundedRect(QRectF(0.5, 0.5, 691, 187), 10, 10);
        p.setPen(QPen(blue_line, 1));
        for (qreal y : {75.5, 125.5}) p.drawLine(QPointF(15, y), QPointF(540, y));
        p.setPen(Qt::NoPen);
        p.setBrush(blue_light);
        for (qreal y : {46.0, 96.0, 146.0}) p.drawEllipse(QPointF(8, y), 2.5, 2.5);
        // A quiet picture on the right.
        QColor soft = blue_light;
        soft.setAlpha(170);
        draw_icon(p, icon::scan, QRectF(560, 40, 110, 110), soft, QColor(232, 246, 255, 200));
    }
    save(wenzi, "images/home/wenzi.png");
}

// A large home-page button: icon in a white disc on the left, lettering on the right.
void home_button(int w, const QString& pattern, icon which, const QString& text) {
    save_states(w, 106, pattern, [&](QPainter& p, int state) {
        const qreal shift = state == 3 ? 1 : 0;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(91, 135, 201, 60));
        p.drawRoundedRect(QRectF(3, 5, w - 5, 100), 14, 14);
        button_face(p, QRectF(1, 1, w - 4, 100), blue_button(state), 14);
        p.translate(shift, shift);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 235));
        p.drawEllipse(QPointF(56, 51), 36, 36);
        draw_icon(p, which, QRectF(31, 27, 50, 48), blue_dark, QColor(139, 184, 241, 120));
        fit_text(p, QRectF(104, 10, w - 118, 82), text, white, 27, 13, true,
                 Qt::AlignLeft | Qt::AlignVCenter);
    });
}

// A top-band button: a white icon over white lettering on the blue band.
void top_button(const QString& pattern, icon which, const QString& text) {
    save_states(95, 70, pattern, [&](QPainter& p, int state) {
        if (state > 1) {
            p.setPen(QPen(QColor(255, 255, 255, state == 2 ? 110 : 60), 1));
            p.setBrush(state == 2 ? QColor(255, 255, 255, 45) : QColor(40, 80, 140, 110));
            p.drawRoundedRect(QRectF(1.5, 1.5, 92, 67), 7, 7);
        }
        if (state == 3) p.translate(1, 1);
        draw_icon(p, which, QRectF(30, 5, 35, 33), white, QColor(255, 255, 255, 60));
        fit_text(p, QRectF(3, 41, 89, 27), text, white, 13, 8, true,
                 Qt::AlignHCenter | Qt::AlignVCenter);
    });
}

void language_images() {
    for (const skin_lettering& l : skin_letterings()) {
        QString dir = "images/multilang/" + l.folder + "/";
        top_button(dir + "btn_top1%1.png", icon::disk_restore, l.recover_files);
        top_button(dir + "btn_top2%1.png", icon::partitions, l.partitions);
        top_button(dir + "btn_top3%1.png", icon::deep_scan, l.deep_scan);
        home_button(330, dir + "btn_start_scan%1.png", icon::scan, l.start_scan);
        home_button(323, dir + "btn_resume_recovery%1.png", icon::resume, l.resume_recovery);
        if (l.folder == "en") {
            home_button(330, "images/home/buttonscan%1.png", icon::scan, l.start_scan);
            home_button(323, "images/home/buttonrecovery%1.png", icon::resume, l.resume_recovery);
        }
    }
}

// ---- lists, tables and status areas ----

void list_images() {
    const QString dir = "images/partition_search/";
    save_states(100, 30, dir + "btn_wai_%1.png", [](QPainter& p, int state) {
        button_face(p, QRectF(0, 0, 100, 30), blue_button(state), 6);
    });
    save_states(80, 30, dir + "btn_start_%1.png", [](QPainter& p, int state) {
        button_face(p, QRectF(0, 0, 80, 30), pale_button(state), 6);
    });

    for (int ticked = 0; ticked <= 1; ++ticked) {
        QImage check = canvas(13, 13);
        QPainter p;
        begin(p, check);
        p.setPen(QPen(ticked ? blue_dark : blue_light, 1));
        p.setBrush(ticked ? blue_mid : white);
        p.drawRoundedRect(QRectF(0.5, 0.5, 12, 12), 2, 2);
        if (ticked) {
            p.setPen(QPen(white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(QPolygonF({QPointF(3.2, 6.8), QPointF(5.6, 9.2), QPointF(9.8, 3.9)}));
        }
        p.end();
        save(check, dir + QString("check%1.png").arg(ticked + 1));
    }

    QImage drive = canvas(16, 16);
    {
        QPainter p;
        begin(p, drive);
        draw_icon(p, icon::drive, QRectF(0, 0, 16, 16), blue_dark, QColor(214, 232, 250));
    }
    save(drive, dir + "drives.png");

    // Usage bar fills: 18 pixels high (the bar is one pixel higher than the red image).
    auto bar = [&](const QString& name, const QColor& top, const QColor& bottom) {
        QImage image(8, 18, QImage::Format_ARGB32_Premultiplied);
        QPainter p(&image);
        QLinearGradient g(0, 0, 0, 18);
        g.setColorAt(0, top);
        g.setColorAt(1, bottom);
        p.fillRect(image.rect(), g);
        p.setPen(QColor(255, 255, 255, 80));
        p.drawLine(0, 1, 7, 1);
        p.end();
        save(image, dir + name);
    };
    bar("green.png", QColor(152, 212, 126), QColor(96, 170, 78));
    bar("red.png", QColor(240, 138, 124), QColor(204, 72, 62));

    QImage found = canvas(64, 64);
    {
        QPainter p;
        begin(p, found);
        draw_icon(p, icon::partitions, QRectF(2, 4, 44, 44), blue_dark, QColor(139, 184, 241, 150));
        magnifier(p, QPointF(40, 38), 12, 2.6, blue_mid, QColor(255, 255, 255, 200));
    }
    save(found, dir + "icon_found1.png");

    // Progress texture: diagonal stripes that tile seamlessly (period 12 both ways).
    QImage stripes(24, 12, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 24; ++x) {
            bool dark = (x + 12 - y) % 12 < 6;
            QColor c = dark ? blue_mid : QColor(112, 172, 228);
            stripes.setPixelColor(x, y, y < 2 ? c.lighter(112) : c);
        }
    save(stripes, dir + "loding_on.png");
}

void recovery_images() {
    QImage folder = canvas(16, 16);
    {
        QPainter p;
        begin(p, folder);
        draw_icon(p, icon::folder, QRectF(1.5, 2.5, 13, 11), blue_dark, blue_light);
    }
    save(folder, "images/recovery/folder.png");

    // Busy animation: a lens circling over a stack of found files. It stays left
    // of x = 86 and is transparent elsewhere, so the page's progress text shows.
    std::vector<QImage> frames;
    const int count = 12;
    for (int i = 0; i < count; ++i) {
        QImage frame = canvas(130, 86);
        QPainter p;
        begin(p, frame);
        for (int k = 2; k >= 0; --k) {
            QRectF sheet_box(18 + k * 7, 18 + k * 5, 30, 38);
            QColor fill = k == 0 ? white : QColor(232, 246, 255);
            p.setPen(QPen(blue_dark, 1.4));
            p.setBrush(fill);
            p.drawRoundedRect(sheet_box, 3, 3);
            p.setPen(QPen(blue_light, 1.2));
            for (int line = 0; line < 3; ++line) {
                qreal y = sheet_box.top() + 12 + line * 7;
                p.drawLine(QPointF(sheet_box.left() + 6, y), QPointF(sheet_box.right() - 6, y));
            }
        }
        const double a = 2.0 * M_PI * i / count;
        QPointF centre(46 + 12 * std::cos(a), 40 + 9 * std::sin(a));
        magnifier(p, centre, 11, 2.6, blue_mid, QColor(232, 246, 255, 210));
        p.end();
        frames.push_back(frame);
    }
    if (!write_animated_gif(out_dir + "/images/recovery/ani.gif", frames, 10)) {
        std::fprintf(stderr, "cannot write ani.gif\n");
        ok = false;
    }
    written << "images/recovery/ani.gif";
}

bool have_cjk_fonts() {
    return !QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty() &&
           !QFontDatabase::families(QFontDatabase::TraditionalChinese).isEmpty() &&
           !QFontDatabase::families(QFontDatabase::Japanese).isEmpty();
}

bool write_resource_file() {
    written.sort();
    QString qrc =
        "<!DOCTYPE RCC>\n<!-- Written by quorvane-skin-images; run it again after changing the "
        "images. -->\n"
        "<RCC version=\"1.0\">\n  <qresource prefix=\"/\">\n";
    for (const QString& f : written) qrc += "    <file>" + f + "</file>\n";
    qrc += "  </qresource>\n</RCC>\n";
    QFile file(out_dir + "/skin.qrc");
    return file.open(QIODevice::WriteOnly) && file.write(qrc.toUtf8()) > 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    out_dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(QUORVANE_UI_DIR);
    if (!have_cjk_fonts()) {
        std::fprintf(
            stderr,
            "quorvane-skin-images: no Chinese or Japanese font is installed; the cn, hk and jp "
            "buttons need one (for example fonts-droid-fallback or fonts-noto-cjk)\n");
        return 1;
    }
    QDir().mkpath(out_dir + "/images");
    frame_images();
    brand_images();
    page_images();
    language_images();
    list_images();
    recovery_images();
    if (!write_resource_file()) {
        std::fprintf(stderr, "cannot write %s/skin.qrc\n", qPrintable(out_dir));
        ok = false;
    }
    std::printf("%lld images in %s\n", (long long)written.size(), qPrintable(out_dir));
    return ok ? 0 : 1;
}

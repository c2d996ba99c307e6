#include "ui/button_images.hpp"

#include <QFontMetrics>

#include "app/language_settings.hpp"

QString top_button_image(const QString& number, const QString& state) {
    return ":/images/multilang/" + language_image_folder() + "/btn_top" + number + state + ".png";
}

QString home_button_image(const QString& base, const QString& state) {
    return "/images/multilang/" + language_image_folder() + "/" + base + state + ".png";
}

QString button_style_sheet(const QString& normal, const QString& hover, const QString& pressed) {
    return QString("QPushButton{ border-image: url(:%1); }QPushButton:hover{ border-image: url(:%2);}"
                   "QPushButton:pressed{  border-image: url(:%3);}")
        .arg(QString::fromLatin1(normal.toLatin1()), QString::fromLatin1(hover.toLatin1()),
             QString::fromLatin1(pressed.toLatin1()));
}

namespace qv::ui {

QFont fit_button_font(const QString& text, int button_width) {
    constexpr int ends = 8;  // the image's rounded ends hold no text
    QFont font("Arial", 11, QFont::Bold);
    while (font.pointSize() > 7 && QFontMetrics(font).horizontalAdvance(text) > button_width - ends)
        font.setPointSize(font.pointSize() - 1);
    return font;
}

}  // namespace qv::ui

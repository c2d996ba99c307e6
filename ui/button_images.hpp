#pragma once
// Paths of the per-language button images and the style sheet that shows three of them on a push button.

#include <QFont>
#include <QString>

// ":/images/multilang/<folder>/btn_top<number><state>.png" for the current language.
QString top_button_image(const QString& number, const QString& state);
// "/images/multilang/<folder>/<base><state>.png" for the current language.
QString home_button_image(const QString& base, const QString& state);
// A push button's border images for its normal, hover and pressed states.
QString button_style_sheet(const QString& normal, const QString& hover, const QString& pressed);

namespace qv::ui {

// The wide image buttons' bold Arial 11, a point smaller at a time (down to 7)
// until text fits a button of that width with room for its rounded ends.
QFont fit_button_font(const QString& text, int button_width);

}  // namespace qv::ui

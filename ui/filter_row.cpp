#include "ui/filter_row.hpp"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/language_settings.hpp"

namespace qv::ui {

namespace {

constexpr int day_seconds = 86400;
const char* const invalid_style = "QLineEdit{ color: #c0392b; }";

// A field that names itself by its placeholder (the row has no room for labels)
// and says more in its tooltip.
QLineEdit* add_field(QHBoxLayout* row, QWidget* parent, const QString& placeholder, const QString& tip,
                     int least_width, int stretch) {
    auto* field = new QLineEdit(parent);
    field->setPlaceholderText(placeholder);
    field->setToolTip(tip);
    field->setMinimumWidth(least_width);
    row->addWidget(field, stretch);
    return field;
}

// Marks a field whose text is not understood; true when it is understood or empty.
bool mark(QLineEdit* field, bool understood) {
    field->setStyleSheet(understood ? QString() : QString(invalid_style));
    return understood;
}

}  // namespace

filter_row_c::filter_row_c(QWidget* parent) : QWidget(parent) {
    setFont(QFont("Segoe UI Symbol", 8));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(3);
    const QString type = language_text("filter_type"), from = language_text("filter_from"),
                  to = language_text("filter_to");
    type_ = add_field(row, this, type, type + ": jpg, png", 48, 3);
    min_size_ = add_field(row, this, language_text("filter_min_size"),
                          language_text("filter_min_size") + ": 700, 50K, 1.5M, 2G", 58, 2);
    name_ = add_field(row, this, language_text("filter_name"), language_text("filter_name"), 56, 4);
    from_ = add_field(row, this, "YYYY-MM-DD", from + ": YYYY-MM-DD", 76, 3);
    // The two dates read as a range: "[from] – [to]".
    row->addWidget(new QLabel(QStringLiteral("–"), this));
    to_ = add_field(row, this, "YYYY-MM-DD", to + ": YYYY-MM-DD", 76, 3);
    state_ = new QComboBox(this);
    state_->setToolTip(language_text("filter_state"));
    state_->addItem(language_text("filter_state") + ": " + language_text("filter_all_states"));
    for (auto s : {qv::item_state::intact, qv::item_state::assembled, qv::item_state::overwritten,
                   qv::item_state::damaged}) {
        state_->addItem(language_text((QByteArray("state_name_") + qv::state_name(s)).constData()), int(s));
    }
    row->addWidget(state_);
    clear_btn_ = new QPushButton(language_text("filter_clear"), this);
    row->addWidget(clear_btn_);
    count_ = new QLabel(this);
    row->addWidget(count_);

    for (QLineEdit* field : {type_, min_size_, name_, from_, to_})
        connect(field, &QLineEdit::textChanged, this, &filter_row_c::field_edited);
    connect(state_, &QComboBox::currentIndexChanged, this, &filter_row_c::field_edited);
    connect(clear_btn_, &QPushButton::clicked, this, &filter_row_c::clear);
}

qv::item_filter filter_row_c::filter() const {
    qv::item_filter f;
    f.types = qv::parse_types(type_->text().toStdString());
    if (auto size = qv::parse_size(min_size_->text().toStdString())) f.min_size = *size;
    f.name_contains = name_->text().trimmed().toStdString();
    if (auto from = qv::parse_date(from_->text().toStdString())) f.after = *from;
    if (auto to = qv::parse_date(to_->text().toStdString())) f.before = *to + day_seconds;
    if (state_->currentIndex() > 0) f.states = {qv::item_state(state_->currentData().toInt())};
    return f;
}

void filter_row_c::field_edited() {
    if (clearing_) return;
    auto understood = [](QLineEdit* field, bool ok) { return mark(field, field->text().trimmed().isEmpty() || ok); };
    understood(min_size_, qv::parse_size(min_size_->text().toStdString()).has_value());
    understood(from_, qv::parse_date(from_->text().toStdString()).has_value());
    understood(to_, qv::parse_date(to_->text().toStdString()).has_value());
    emit changed();
}

void filter_row_c::clear() {
    clearing_ = true;
    for (QLineEdit* field : {type_, min_size_, name_, from_, to_}) {
        field->clear();
        mark(field, true);
    }
    state_->setCurrentIndex(0);
    clearing_ = false;
    emit changed();
}

void filter_row_c::show_counts(int shown, int total) {
    count_->setText(filter().active() ? language_text("filter_shown").arg(shown).arg(total) : QString());
}

}  // namespace qv::ui

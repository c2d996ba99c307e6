#pragma once
// What the volume and drive pages share: their form, its layout and the painted heading.

#include <QRect>
#include <QSize>

class QAbstractItemModel;
class QAbstractItemView;
class QListView;
class QPushButton;
class QWidget;

namespace qv::ui {

struct list_page_form_s {
    QListView* list = nullptr;  // lv_volumes or lv_drives
    QPushButton* btn_back = nullptr;
    QPushButton* btn_refresh = nullptr;
    QPushButton* btn_scan = nullptr;

    // Builds the widgets on page (object name form_name): a white page, the
    // list view with its border, per-pixel scrolling and delegate, and three
    // 100 × 30 image buttons with the texts of "btn_back", "btn_refresh" and "btn_scan".
    void setup(QWidget* page, const char* form_name, const char* list_name);
    // Places the widgets for a page of that size.
    void lay_out(const QSize& page) const;
};

// Where list_page_form_s::lay_out puts the widgets on a W × H page.
struct list_page_geometry_s {
    QRect btn_back;     // (175, H - 54)
    QRect btn_refresh;  // (W / 2 - 50, H - 54)
    QRect btn_scan;     // (W - 275, H - 54)
    QRect list;         // (25, 45), (W - 50) × (H - 140)
};
list_page_geometry_s list_page_geometry(const QSize& page);

// The background band across the top and the "volume_select" line.
void paint_list_page(QWidget* page);

// The white page with black text that every page of the main window shows.
void set_page_palette(QWidget* page);
// One of the wide image buttons (btn_wai_*.png) of the list and partition pages.
QPushButton* make_page_button(QWidget* parent, const char* name, const char* key);

// Puts model on view and disposes of the model and selection model it replaces.
void install_list_model(QAbstractItemView* view, QAbstractItemModel* model);

}  // namespace qv::ui

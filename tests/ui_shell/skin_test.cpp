// The skinned window: its buttons, frame, mouse handling, maximising and menu.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>

#include "app/init_worker.hpp"
#include "app/language_settings.hpp"
#include "tests/ui_shell/shell_test_support.hpp"
#include "ui/scan_state.hpp"
#include "ui/skin_resize_handler.hpp"
#include "ui/skin_widget.hpp"

using qv::ui::paint_skin_frame;
using qv::ui::skin_content_margins;
using qv::ui::skin_frame_images_s;

namespace {

// A skin that records what its top band asks of the window.
class test_skin : public QSkinWidget {
public:
    test_skin() {
        resize(800, 600);
        setMinimumSize(800, 600);
        move(50, 40);
    }
    void show_page(int index) override { pages.push_back(index); }
    void leave_recovery_page() override { ++leaves; }
    std::vector<int> pages;
    int leaves = 0;
};

void send_mouse(QWidget& w, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons = Qt::NoButton) {
    const Qt::MouseButton button =
        type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(pos), QPointF(w.mapToGlobal(pos)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void click(QWidget& w, QPoint pos) {
    send_mouse(w, QEvent::MouseButtonPress, pos, Qt::LeftButton);
    send_mouse(w, QEvent::MouseButtonRelease, pos);
}

enum { top1, top2, top3, close_button, maximise_button, minimise_button, settings_button };

TEST(skin_buttons, title_bar_buttons_count_from_the_right_edge) {
    test_skin skin;
    const auto& close = *skin.buttons()[close_button];
    const QRect window = skin.rect();
    EXPECT_TRUE(close.hit_test({769, 1}, window));
    EXPECT_TRUE(close.hit_test({798, 21}, window));
    EXPECT_FALSE(close.hit_test({768, 10}, window));
    EXPECT_FALSE(close.hit_test({799, 10}, window));
    EXPECT_FALSE(close.hit_test({780, 22}, window));
    EXPECT_FALSE(close.hit_test({780, 0}, window));
    const auto& top = *skin.buttons()[top2];
    EXPECT_TRUE(top.hit_test({113, 25}, window));
    EXPECT_TRUE(top.hit_test({207, 94}, window)) << "right and bottom edges included";
    EXPECT_FALSE(top.hit_test({208, 60}, window));
    EXPECT_EQ(skin.button_at({10, 30}), skin.buttons()[top1].get());
    EXPECT_EQ(skin.button_at({690, 10}), skin.buttons()[settings_button].get());
    EXPECT_EQ(skin.button_at({400, 60}), nullptr);
}

TEST(skin_buttons, state_table_and_no_action_when_released_elsewhere) {
    test_skin skin;
    skin.show();
    QSignalSpy closing(&skin, &QSkinWidget::aboutToClose);
    auto& close = *skin.buttons()[close_button];
    send_mouse(skin, QEvent::MouseMove, {785, 10});
    EXPECT_EQ(close.state, 1) << "hover";
    QWidget page(&skin);  // the window gets no leave event when the mouse goes onto a page
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(&page, &enter);
    EXPECT_EQ(close.state, 0) << "back to normal on the page";
    send_mouse(skin, QEvent::MouseMove, {785, 10});
    send_mouse(skin, QEvent::MouseButtonPress, {785, 10}, Qt::LeftButton);
    EXPECT_EQ(close.state, 2) << "pressed";
    EXPECT_FALSE(skin.resize_handler()->isMovingEnabled());
    send_mouse(skin, QEvent::MouseMove, {400, 60}, Qt::LeftButton);
    EXPECT_EQ(close.state, 0) << "the mouse left it";
    send_mouse(skin, QEvent::MouseButtonRelease, {400, 60});
    EXPECT_TRUE(skin.isVisible()) << "no action for a release elsewhere";
    EXPECT_EQ(closing.count(), 0);

    // A second press event for the same press (as the resize handler and Qt both deliver) changes nothing.
    send_mouse(skin, QEvent::MouseButtonPress, {785, 10}, Qt::LeftButton);
    send_mouse(skin, QEvent::MouseButtonPress, {785, 10}, Qt::LeftButton);
    EXPECT_EQ(close.state, 2);
    EXPECT_FALSE(skin.resize_handler()->isMovingEnabled());
    send_mouse(skin, QEvent::MouseButtonRelease, {785, 10});
    EXPECT_EQ(close.state, 1);
    EXPECT_FALSE(skin.isVisible()) << "released on the close button";
    EXPECT_EQ(closing.count(), 1);
}

TEST(skin_mouse, only_the_bare_top_band_moves_the_window) {
    qv::test::shell_recorder recorder;
    test_skin skin;
    skin.show();
    QSkinWidgetResizeHandler& handler = *skin.resize_handler();
    send_mouse(skin, QEvent::MouseButtonPress, {400, 150}, Qt::LeftButton);
    EXPECT_FALSE(handler.isMovingEnabled()) << "below the band";
    send_mouse(skin, QEvent::MouseButtonRelease, {400, 150});
    send_mouse(skin, QEvent::MouseButtonPress, {50, 50}, Qt::LeftButton);
    EXPECT_FALSE(handler.isMovingEnabled()) << "on a button";
    send_mouse(skin, QEvent::MouseButtonRelease, {50, 50});
    EXPECT_EQ(skin.pages.size(), 0u) << "init not ready: no page change";
    EXPECT_EQ(recorder.keys(), std::vector<std::string>{"startup_warning"});

    const QPoint start = skin.pos();
    send_mouse(skin, QEvent::MouseButtonPress, {400, 100}, Qt::LeftButton);
    EXPECT_TRUE(handler.isMovingEnabled()) << "y = 100 still belongs to the band";
    send_mouse(skin, QEvent::MouseMove, {430, 120}, Qt::LeftButton);
    EXPECT_EQ(skin.pos(), start + QPoint(30, 20));
    send_mouse(skin, QEvent::MouseButtonRelease, {400, 100});
    EXPECT_FALSE(handler.is_dragging());

    const QPoint before = skin.pos();
    send_mouse(skin, QEvent::MouseButtonPress, {400, 300}, Qt::LeftButton);
    send_mouse(skin, QEvent::MouseMove, {450, 320}, Qt::LeftButton);
    send_mouse(skin, QEvent::MouseButtonRelease, {450, 320});
    EXPECT_EQ(skin.pos(), before) << "a press below the band never moves it";
}

TEST(skin_mouse, edges_resize_no_smaller_than_the_minimum) {
    test_skin skin;
    skin.show();
    const QRect start = skin.geometry();
    send_mouse(skin, QEvent::MouseButtonPress, {799, 300}, Qt::LeftButton);
    send_mouse(skin, QEvent::MouseMove, {849, 300}, Qt::LeftButton);
    send_mouse(skin, QEvent::MouseButtonRelease, {849, 300});
    EXPECT_EQ(skin.geometry(), QRect(start.topLeft(), QSize(850, 600)));
    EXPECT_TRUE(skin.frame_dirty()) << "a resize rebuilds the frame at the next repaint";
    skin.grab();
    EXPECT_FALSE(skin.frame_dirty());

    EXPECT_EQ(QSkinWidgetResizeHandler::edges_at({0, 599}, {800, 600}), Qt::LeftEdge | Qt::BottomEdge);
    EXPECT_EQ(QSkinWidgetResizeHandler::edges_at({400, 300}, {800, 600}), Qt::Edges());
    EXPECT_EQ(QSkinWidgetResizeHandler::resized(QRect(0, 0, 800, 600), Qt::LeftEdge, {300, 0}, {800, 600}),
              QRect(0, 0, 800, 600));
    EXPECT_EQ(QSkinWidgetResizeHandler::resized(QRect(10, 10, 800, 600), Qt::TopEdge | Qt::LeftEdge, {-10, -5},
                                                {800, 600}),
              QRect(0, 5, 810, 605));
}

TEST(skin_mouse, double_click_on_the_band_maximises_and_restores) {
    test_skin skin;
    skin.show();
    const QRect normal = skin.geometry();
    send_mouse(skin, QEvent::MouseButtonDblClick, {400, 150}, Qt::LeftButton);
    send_mouse(skin, QEvent::MouseButtonDblClick, {785, 10}, Qt::LeftButton);
    EXPECT_TRUE(skin.is_normal()) << "below the band or on a button: nothing";

    const QImage max_image = skin.maximise_button()->images[0].toImage();
    send_mouse(skin, QEvent::MouseButtonDblClick, {400, 50}, Qt::LeftButton);
    EXPECT_FALSE(skin.is_normal());
    EXPECT_EQ(skin.geometry(), QGuiApplication::primaryScreen()->availableGeometry());
    EXPECT_EQ(skin.maximise_button()->images[0].toImage(), QPixmap(":/images/system/resumeButton1.png").toImage());
    send_mouse(skin, QEvent::MouseButtonDblClick, {400, 50}, Qt::LeftButton);
    EXPECT_TRUE(skin.is_normal());
    EXPECT_EQ(skin.geometry(), normal);
    EXPECT_EQ(skin.maximise_button()->images[0].toImage(), max_image);
}

TEST(skin_top_band, waits_for_start_up_and_asks_before_leaving_a_scan) {
    qv::test::shell_recorder recorder;
    test_skin skin;
    skin.show();
    init_ready = 0;
    click(skin, {50, 50});
    EXPECT_EQ(recorder.keys(), std::vector<std::string>{"startup_warning"});
    EXPECT_EQ(recorder.shown[0].parent, &skin);
    EXPECT_TRUE(skin.pages.empty());
    EXPECT_EQ(skin.leaves, 0);

    init_ready = 1;
    click(skin, {250, 50});
    EXPECT_TRUE(skin.deep_scan_requested) << "button 3";
    click(skin, {150, 50});
    EXPECT_TRUE(skin.deep_scan_requested) << "button 2 keeps the choice";
    click(skin, {50, 50});
    EXPECT_FALSE(skin.deep_scan_requested) << "button 1 clears it";
    EXPECT_EQ(skin.pages, (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(skin.leaves, 3);

    scan_running = true;
    recorder.answer = QMessageBox::No;
    click(skin, {250, 50});
    EXPECT_EQ(recorder.shown.back().key, "back_warning");
    EXPECT_EQ(skin.pages.size(), 3u) << "No: the scan goes on";
    EXPECT_FALSE(skin.deep_scan_requested);
    recorder.answer = QMessageBox::Yes;
    click(skin, {250, 50});
    EXPECT_EQ(skin.pages.back(), 1);
    EXPECT_EQ(skin.leaves, 4);

    // Closing while the scan runs asks first; No keeps the window.
    recorder.answer = QMessageBox::No;
    skin.on_click_close();
    EXPECT_EQ(recorder.shown.back().key, "quit_warning");
    EXPECT_TRUE(skin.isVisible());
    recorder.answer = QMessageBox::Yes;
    skin.on_click_close();
    EXPECT_FALSE(skin.isVisible());
    scan_running = false;
    init_ready = 0;
}

TEST(skin_frame, margins_come_from_the_edge_images_and_the_band_is_painted) {
    test_skin skin;
    EXPECT_EQ(skin.contentsMargins(), QMargins(3, 100, 3, 4));
    const QImage frame =
        paint_skin_frame(QSize(900, 650), "Tessaline", skin_frame_images_s::load()).toImage();
    EXPECT_GT(frame.pixelColor(450, 60).alpha(), 0) << "stretched middle of the band";
    EXPECT_GT(frame.pixelColor(1, 400).alpha(), 0) << "left edge";
    EXPECT_GT(frame.pixelColor(898, 400).alpha(), 0) << "right edge";
    EXPECT_GT(frame.pixelColor(450, 648).alpha(), 0) << "bottom edge";
    EXPECT_EQ(frame.pixelColor(450, 400).alpha(), 0) << "the pages' area is left transparent";

    skin_frame_images_s none;  // every image missing: plain bands of the usual size
    EXPECT_EQ(skin_content_margins(none), QMargins(3, 100, 3, 4));
    EXPECT_GT(paint_skin_frame(QSize(800, 600), "", none).toImage().pixelColor(400, 50).alpha(), 0);
}

TEST(skin_menu, languages_in_reverse_file_order_and_a_change_is_saved_for_the_next_start) {
    ASSERT_GE(language_sections.size(), 3) << "language.ini not found in the working directory";
    qv::test::shell_recorder recorder;
    test_skin skin;
    const QList<QAction*> entries = skin.menu()->actions();
    QMenu* languages = nullptr;
    for (QAction* a : entries)
        if (a->menu()) languages = a->menu();
    ASSERT_NE(languages, nullptr);
    EXPECT_EQ(languages->title(), "Language");
    const QList<QAction*> choices = languages->actions();
    ASSERT_EQ(choices.size(), language_sections.size());
    for (qsizetype i = 0; i < choices.size(); ++i) {
        const qsizetype position = language_sections.size() - 1 - i;
        EXPECT_EQ(choices[i]->text(), language_sections[position]);
        EXPECT_EQ(choices[i]->data().toInt(), position);
    }
    // Help and Exit follow, each after a separator.
    ASSERT_GE(entries.size(), 5);
    EXPECT_TRUE(entries[entries.size() - 4]->isSeparator());
    EXPECT_EQ(entries[entries.size() - 3]->text(), language_text("menu_help"));
    EXPECT_TRUE(entries[entries.size() - 2]->isSeparator());
    EXPECT_EQ(entries.back()->text(), language_text("menu_exit"));

    const int english = language_index;
    const QString hello = language_text("btn_back");
    choices.back()->trigger();  // the first section, English, is the current one
    EXPECT_TRUE(recorder.shown.empty());
    choices[choices.size() - 2]->trigger();  // the second section
    EXPECT_EQ(recorder.keys(), std::vector<std::string>{"language_warning"});
    EXPECT_EQ(language_index, 1);
    EXPECT_EQ(current_language, language_sections[1]);
    EXPECT_EQ(QSettings(qv::settings_file_path(), QSettings::IniFormat).value("language").toString(),
              language_sections[1]);
    EXPECT_EQ(language_text("btn_back"), hello) << "texts change only at the next start";

    language_index = english;
    current_language = language_sections[english];
    save_settings();
}

TEST(skin_help, opens_the_manual_as_a_local_file) {
    qv::test::shell_recorder recorder;
    test_skin skin;
    skin.on_click_help();
    ASSERT_EQ(recorder.opened.size(), 1u);
    const QUrl url = recorder.opened[0];
    ASSERT_TRUE(url.isLocalFile());
    QFile manual(url.toLocalFile());
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly)) << url.toLocalFile().toStdString();
    EXPECT_TRUE(manual.readAll().contains("Quorvane user manual"));
}

}  // namespace

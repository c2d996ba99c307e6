#include "tests/ui_shell/shell_test_support.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "devices/device_catalog.hpp"
#include "devices/volume_items.hpp"
#include "ui/shell_prompts.hpp"

using qv::ui::shell_prompts;
using qv::ui::shell_prompts_s;

namespace qv::test {

namespace {
shell_prompts_s saved_prompts;
}

shell_recorder::shell_recorder() {
    saved_prompts = shell_prompts();
    shell_prompts().message = [this](QWidget* parent, const QString& title, const char* key,
                                     QMessageBox::StandardButtons buttons, const QString& detail) {
        shown.push_back({title, key, parent, buttons, detail});
        return answer;
    };
    shell_prompts().open_url = [this](const QUrl& url) { opened.push_back(url); };
    shell_prompts().choose_image = [this](QWidget*) { return image_to_open; };
}

shell_recorder::~shell_recorder() { shell_prompts() = saved_prompts; }

std::vector<std::string> shell_recorder::keys() const {
    std::vector<std::string> k;
    for (const auto& m : shown) k.push_back(m.key);
    return k;
}

bool wait_until(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return done();
}

bool open_image_as_drive(const std::string& image) {
    if (device_catalog::shared().open_image(image) < 0) return false;
    enumerate_drives();
    enumerate_volumes();
    return true;
}

}  // namespace qv::test

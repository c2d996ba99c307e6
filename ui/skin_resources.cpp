#include "ui/skin_resources.hpp"

#include <QtGlobal>

// The resource file's initializer lives in this static library; naming it here
// keeps the linker from dropping it.
static void register_skin() {
    Q_INIT_RESOURCE(skin);
}

namespace qv::ui {

void init_skin_resources() {
    static const bool registered = (register_skin(), true);
    Q_UNUSED(registered);
}

}  // namespace qv::ui

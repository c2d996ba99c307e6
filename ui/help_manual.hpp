#pragma once
// Finds the user manual (docs/manual.html) and opens it in the desktop's browser.

#include <QString>

namespace qv::ui {

// The manual on disk: docs/manual.html in the current directory, the
// installed data folder or beside the executable, like the other data files;
// else the copy compiled into the program, written out to the user's data
// folder. Empty only when neither can be had.
QString user_manual_path();

// Opens user_manual_path() with the desktop's handler for local files.
void open_user_manual();

}  // namespace qv::ui

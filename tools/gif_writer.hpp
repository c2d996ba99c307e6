#pragma once
// Writes animated GIF files (Qt reads GIF but cannot write it).

#include <QImage>
#include <QString>

#include <vector>

namespace qv {

// Writes frames (all of the first frame's size) as a looping GIF89a with
// delay_cs hundredths of a second per frame. Pixels less than half opaque
// become transparent; the others are laid over white and share one palette of
// at most 255 colours. False when the file cannot be written.
bool write_animated_gif(const QString& path, const std::vector<QImage>& frames, int delay_cs);

}  // namespace qv

#pragma once
// The textured progress bar that the partition and recovery pages paint into their status areas.

#include <QBrush>
#include <QColor>
#include <QObject>
#include <QPixmap>
#include <QRect>
#include <QString>

class QPainter;

class progress_bar_c : public QObject {
    Q_OBJECT
public:
    explicit progress_bar_c(QObject* parent = nullptr) : QObject(parent) {}

    // Loads the texture image, keeps the background colour and sets value to 0.
    void setup(const QString& image_path, const QColor& background);
    // Background, then the done part in the texture, then "NN%" centred in black.
    void paint(QPainter& painter, const QRect& rect) const;

    // Fraction done, 0.0 to 1.0; set by the owning page from its timer.
    double value = 0.0;

    // Width of the filled part of rect for a fraction (clamped to 0..1).
    static int fill_width(const QRect& rect, double value);
    // "50%": the whole-number part of value × 100, never rounded up.
    static QString percent_text(double value);

private:
    QPixmap pixmap_;
    QBrush brush_;
    QColor background_;
};

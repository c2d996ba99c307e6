#include "tools/gif_writer.hpp"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace {

constexpr int palette_size = 256;
constexpr int transparent_index = 255;
constexpr int min_code_size = 8;
constexpr int max_code = 4095;

void put16(QByteArray& out, int v) {
    out.append(char(v & 0xFF));
    out.append(char((v >> 8) & 0xFF));
}

// Packs codes least significant bit first and cuts them into sub-blocks of at most 255 bytes.
class code_packer {
public:
    void put(int code, int bits) {
        acc_ |= uint32_t(code) << n_;
        n_ += bits;
        while (n_ >= 8) {
            bytes_.append(char(acc_ & 0xFF));
            acc_ >>= 8;
            n_ -= 8;
        }
    }
    QByteArray blocks() {
        if (n_ > 0) bytes_.append(char(acc_ & 0xFF));
        acc_ = 0;
        n_ = 0;
        QByteArray out;
        for (qsizetype i = 0; i < bytes_.size(); i += 255) {
            QByteArray piece = bytes_.mid(i, 255);
            out.append(char(piece.size()));
            out.append(piece);
        }
        out.append(char(0));
        return out;
    }

private:
    QByteArray bytes_;
    uint32_t acc_ = 0;
    int n_ = 0;
};

QByteArray lzw_encode(const std::vector<uint8_t>& pixels) {
    const int clear = 1 << min_code_size, end = clear + 1;
    code_packer out;
    std::unordered_map<uint32_t, int> dict;
    int next = end + 1, size = min_code_size + 1;
    out.put(clear, size);
    if (pixels.empty()) {
        out.put(end, size);
        return out.blocks();
    }
    int prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        uint32_t key = (uint32_t(prefix) << 8) | pixels[i];
        auto it = dict.find(key);
        if (it != dict.end()) {
            prefix = it->second;
            continue;
        }
        out.put(prefix, size);
        if (next >= max_code) {
            out.put(clear, size);
            dict.clear();
            next = end + 1;
            size = min_code_size + 1;
        } else {
            dict.emplace(key, next++);
            if (next > (1 << size) && size < 12) ++size;
        }
        prefix = pixels[i];
    }
    out.put(prefix, size);
    out.put(end, size);
    return out.blocks();
}

QRgb over_white(QRgb c) {
    int a = qAlpha(c);
    auto mix = [a](int v) { return (v * a + 255 * (255 - a)) / 255; };
    return qRgb(mix(qRed(c)), mix(qGreen(c)), mix(qBlue(c)));
}

int distance(QRgb a, QRgb b) {
    int dr = qRed(a) - qRed(b), dg = qGreen(a) - qGreen(b), db = qBlue(a) - qBlue(b);
    return dr * dr + dg * dg + db * db;
}

}  // namespace

namespace qv {

bool write_animated_gif(const QString& path, const std::vector<QImage>& frames, int delay_cs) {
    if (frames.empty()) return false;
    const int w = frames[0].width(), h = frames[0].height();
    std::vector<QImage> argb;
    QHash<QRgb, int> histogram;
    for (const QImage& f : frames) {
        QImage img = f.convertToFormat(QImage::Format_ARGB32).copy(0, 0, w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                QRgb c = img.pixel(x, y);
                if (qAlpha(c) >= 128) histogram[over_white(c)]++;
            }
        argb.push_back(img);
    }
    // The most frequent colours make the palette; the rest map to their nearest.
    std::vector<std::pair<int, QRgb>> counted;
    for (auto it = histogram.cbegin(); it != histogram.cend(); ++it)
        counted.push_back({it.value(), it.key()});
    std::sort(counted.begin(), counted.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<QRgb> palette;
    for (size_t i = 0; i < counted.size() && palette.size() < size_t(transparent_index); ++i)
        palette.push_back(counted[i].second);
    QHash<QRgb, int> index_of;
    auto lookup = [&](QRgb c) {
        auto it = index_of.constFind(c);
        if (it != index_of.cend()) return it.value();
        int best = 0;
        for (size_t i = 1; i < palette.size(); ++i)
            if (distance(palette[i], c) < distance(palette[size_t(best)], c)) best = int(i);
        index_of.insert(c, best);
        return best;
    };

    QByteArray gif("GIF89a");
    put16(gif, w);
    put16(gif, h);
    gif.append(char(0xF7));  // global colour table of 256 entries, 8 bits per primary
    gif.append(char(transparent_index));
    gif.append(char(0));
    for (int i = 0; i < palette_size; ++i) {
        QRgb c = i < int(palette.size()) ? palette[size_t(i)] : qRgb(255, 255, 255);
        gif.append(char(qRed(c)));
        gif.append(char(qGreen(c)));
        gif.append(char(qBlue(c)));
    }
    // Loop for ever.
    gif.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01", 16);
    put16(gif, 0);
    gif.append(char(0));

    for (const QImage& img : argb) {
        gif.append("\x21\xF9\x04", 3);
        gif.append(char(0x09));  // restore to background before the next frame; transparency on
        put16(gif, delay_cs);
        gif.append(char(transparent_index));
        gif.append(char(0));
        gif.append(char(0x2C));
        put16(gif, 0);
        put16(gif, 0);
        put16(gif, w);
        put16(gif, h);
        gif.append(char(0));
        std::vector<uint8_t> pixels(size_t(w) * size_t(h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                QRgb c = img.pixel(x, y);
                pixels[size_t(y) * size_t(w) + size_t(x)] =
                    uint8_t(qAlpha(c) < 128 ? transparent_index : lookup(over_white(c)));
            }
        gif.append(char(min_code_size));
        gif.append(lzw_encode(pixels));
    }
    gif.append(char(0x3B));

    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(gif) == gif.size() && file.flush();
}

}  // namespace qv

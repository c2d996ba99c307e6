#include "tests/sigscan/camera_samples.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>

#include "tests/support/test_support.hpp"

namespace qv::test {

namespace {

void put(bytes& b, const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
}
void put(bytes& b, const bytes& s) {
    b.insert(b.end(), s.begin(), s.end());
}
void be16(bytes& b, uint32_t v) {
    for (int i = 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
void be32(bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
void set_be32(bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (24 - 8 * i));
}

// Bytes with no 0xFF in them, as coded JPEG data is after byte stuffing.
bytes no_markers(size_t n, uint32_t seed) {
    bytes b = pseudo_random_bytes(n, seed);
    for (auto& c : b)
        if (c == 0xFF) c = 0x7F;
    return b;
}

// A small JPEG-shaped preview: SOI, a quantisation table, a frame, a scan, EOI.
bytes preview_jpeg(uint32_t seed) {
    bytes j{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    for (int i = 0; i < 64; ++i) j.push_back(uint8_t(1 + i % 16));
    put(j, bytes{0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x10, 0x01, 0x01, 0x11, 0x00});
    put(j, bytes{0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    put(j, no_markers(700 + seed % 97, seed));
    put(j, bytes{0xFF, 0xD9});
    return j;
}

// Writes TIFF structures: data blocks first, directories after them.
class tiff_builder {
public:
    struct entry {
        uint16_t tag, type;
        uint32_t count;
        bytes value;  // already in the file's byte order
    };

    explicit tiff_builder(bool little) : little_(little) {}
    bytes out;

    void u16(bytes& b, uint32_t v) const {
        if (little_)
            b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
        else
            b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
    }
    void u32(bytes& b, uint32_t v) const {
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (little_ ? 8 * i : 24 - 8 * i)));
    }
    void set32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(v >> (little_ ? 8 * i : 24 - 8 * i));
    }

    uint32_t blob(const bytes& b) {
        if (out.size() & 1) out.push_back(0);
        uint32_t at = uint32_t(out.size());
        put(out, b);
        return at;
    }

    entry ascii(uint16_t tag, const std::string& s) const {
        bytes v(s.begin(), s.end());
        v.push_back(0);
        return {tag, 2, uint32_t(v.size()), v};
    }
    entry longs(uint16_t tag, const std::vector<uint32_t>& values) const {
        bytes v;
        for (uint32_t x : values) u32(v, x);
        return {tag, 4, uint32_t(values.size()), v};
    }
    entry shorts(uint16_t tag, const std::vector<uint32_t>& values) const {
        bytes v;
        for (uint32_t x : values) u16(v, x);
        return {tag, 3, uint32_t(values.size()), v};
    }
    entry undefined(uint16_t tag, const bytes& data) const { return {tag, 7, uint32_t(data.size()), data}; }
    entry bytes_of(uint16_t tag, const bytes& data) const { return {tag, 1, uint32_t(data.size()), data}; }

    uint32_t ifd(std::vector<entry> entries, uint32_t next = 0) {
        std::sort(entries.begin(), entries.end(), [](const entry& a, const entry& b) { return a.tag < b.tag; });
        std::vector<bytes> fields;
        for (auto& e : entries) {
            bytes field;
            if (e.value.size() > 4) {
                u32(field, blob(e.value));
            } else {
                field = e.value;
                field.resize(4, 0);
            }
            fields.push_back(field);
        }
        if (out.size() & 1) out.push_back(0);
        uint32_t at = uint32_t(out.size());
        u16(out, uint32_t(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            u16(out, entries[i].tag);
            u16(out, entries[i].type);
            u32(out, entries[i].count);
            put(out, fields[i]);
        }
        u32(out, next);
        return at;
    }

private:
    bool little_;
};

std::string shell(const std::string& s) {
    return shell_quote(s);
}

// Runs a tool that writes out (removed first unless keep) and reads it.
bytes tool_file(const std::string& command, const std::string& out, bool keep = false) {
    if (!keep) std::filesystem::remove(out);
    std::string output;
    if (run(command, &output) != 0) {
        std::cerr << "note: '" << command << "' failed: " << output << "\n";
        return {};
    }
    return read_file(out);
}

}  // namespace

bytes make_tiff_raw(const std::string& kind, uint32_t seed) {
    const bool little = kind != "nef" && kind != "pef";
    tiff_builder t(little);
    const size_t header = kind == "cr2" ? 16 : 8;
    t.out.resize(header);
    if (kind == "orf")
        std::memcpy(t.out.data(), "IIRO", 4);
    else if (kind == "rw2")
        std::memcpy(t.out.data(), "IIU\0", 4);
    else if (little)
        std::memcpy(t.out.data(), "II*\0", 4);
    else
        std::memcpy(t.out.data(), "MM\0*", 4);
    if (kind == "cr2") std::memcpy(t.out.data() + 8, "CR\x02\0", 4);

    const std::string make = kind == "dng"   ? "Quorvane Test Camera"
                             : kind == "cr2" ? "Canon"
                             : kind == "nef" ? "NIKON CORPORATION"
                             : kind == "arw" ? "SONY"
                             : kind == "pef" ? "PENTAX Corporation"
                             : kind == "orf" ? "OLYMPUS IMAGING CORP."
                                             : "Panasonic";
    const uint32_t preview = t.blob(preview_jpeg(seed));
    const uint32_t preview_size = uint32_t(t.out.size()) - preview;
    // Raw data in two strips.
    const bytes raw = pseudo_random_bytes(20000 + seed % 1000, seed * 3 + 1);
    const uint32_t strip0 = t.blob(bytes(raw.begin(), raw.begin() + 9000));
    const uint32_t strip1 = t.blob(bytes(raw.begin() + 9000, raw.end()));
    const std::vector<uint32_t> strips{strip0, strip1}, strip_sizes{9000, uint32_t(raw.size() - 9000)};
    auto raw_entries = [&] {
        return std::vector<tiff_builder::entry>{t.longs(254, {0}),        t.longs(256, {160}), t.longs(257, {120}),
                                                t.shorts(258, {16}),      t.shorts(259, {1}),  t.longs(273, strips),
                                                t.longs(279, strip_sizes)};
    };
    const uint32_t exif = t.ifd({t.ascii(36867, sample_taken_exif), t.ascii(36868, sample_taken_exif),
                                 t.undefined(37500, pseudo_random_bytes(300 + seed % 50, seed + 9))});
    std::vector<tiff_builder::entry> ifd0{
        t.ascii(271, make),      t.ascii(272, "Model " + kind), t.longs(254, {1}),
        t.longs(273, {preview}), t.longs(279, {preview_size}),  t.ascii(306, "2022:01:01 00:00:00"),
        t.longs(34665, {exif})};
    uint32_t next = 0;
    if (kind == "dng" || kind == "nef") {
        ifd0.push_back(t.longs(330, {t.ifd(raw_entries())}));
        if (kind == "dng") ifd0.push_back(t.bytes_of(50706, {1, 4, 0, 0}));
    } else if (kind == "cr2") {
        next = t.ifd(raw_entries());
        t.set32(12, next);
    } else if (kind == "arw") {
        // Sony's private directory points at an encrypted block of its own.
        const uint32_t sr2 = t.blob(pseudo_random_bytes(1500, seed + 5));
        const uint32_t priv = t.ifd({t.longs(0x7200, {sr2}), t.longs(0x7201, {1500})});
        ifd0.push_back(t.longs(50740, {priv}));
        ifd0.push_back(t.longs(330, {t.ifd(raw_entries())}));
    } else {
        next = t.ifd(raw_entries());  // pef, orf, rw2: raw strips in a second directory
    }
    const uint32_t first = t.ifd(ifd0, next);
    t.set32(4, first);
    return t.out;
}

namespace {

// A box of ISO base media: size, type, body.
bytes media_box(const char* type, const bytes& body) {
    bytes b;
    be32(b, uint32_t(8 + body.size()));
    put(b, std::string(type, 4));
    put(b, body);
    return b;
}

}  // namespace

bytes make_cr3(uint32_t seed) {
    static const bytes canon_uuid{0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                  0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
    // The main tags carry only the file's DateTime; the EXIF tags the time it was taken.
    tiff_builder main(true);
    main.out = {'I', 'I', '*', 0, 0, 0, 0, 0};
    main.set32(4, main.ifd({main.ascii(271, "Canon"), main.ascii(306, "2022:01:01 00:00:00")}));
    tiff_builder exif(true);
    exif.out = {'I', 'I', '*', 0, 0, 0, 0, 0};
    exif.set32(4, exif.ifd({exif.ascii(36867, sample_taken_exif), exif.ascii(33434, "1/125")}));
    bytes canon = canon_uuid;
    put(canon, media_box("CNCV", bytes{'C', 'a', 'n', 'o', 'n', 'C', 'R', '3', '_', '0', '0', '1'}));
    put(canon, media_box("CMT1", main.out));
    put(canon, media_box("CMT2", exif.out));
    bytes moov = media_box("uuid", canon);
    put(moov, media_box("mvhd", bytes(100, 0)));  // no creation time: the EXIF one is what counts
    bytes ftyp;
    put(ftyp, "crx ");
    be32(ftyp, 1);
    put(ftyp, "crx isom");
    bytes out = media_box("ftyp", ftyp);
    put(out, media_box("moov", moov));
    put(out, media_box("mdat", pseudo_random_bytes(30000, seed)));
    return out;
}

bytes make_raf(uint32_t seed) {
    bytes b;
    put(b, "FUJIFILMCCD-RAW 0201FF389501");
    std::string camera = "X-T3";
    camera.resize(32, '\0');
    put(b, camera);
    put(b, "0100");
    b.resize(84, 0);
    const bytes jpeg = preview_jpeg(seed);
    const bytes meta = pseudo_random_bytes(400, seed + 1);
    const bytes cfa = pseudo_random_bytes(30000, seed + 2);
    const uint32_t jpeg_at = 160, meta_at = jpeg_at + uint32_t(jpeg.size()) + 16;
    const uint32_t cfa_at = (meta_at + uint32_t(meta.size()) + 511) / 512 * 512;
    for (uint32_t v : {jpeg_at, uint32_t(jpeg.size()), meta_at, uint32_t(meta.size()), cfa_at, uint32_t(cfa.size())})
        be32(b, v);
    b.resize(jpeg_at, 0);
    put(b, jpeg);
    b.resize(meta_at, 0);
    put(b, meta);
    b.resize(cfa_at, 0);
    put(b, cfa);
    return b;
}

bytes make_ttf(uint32_t seed) {
    bytes head(54, 0);
    set_be32(head, 0, 0x00010000);
    set_be32(head, 12, 0x5F0F3CF5);
    head[18] = 0x04;  // units per em: 1024
    struct table {
        const char* tag;
        bytes data;
    };
    std::vector<table> tables{{"glyf", pseudo_random_bytes(1001 + seed % 7, seed)},
                              {"head", head},
                              {"name", pseudo_random_bytes(130, seed + 1)}};
    bytes b;
    be32(b, 0x00010000);
    be16(b, uint32_t(tables.size()));
    be16(b, 32);  // search range for three tables
    be16(b, 1);
    be16(b, 16);
    uint32_t offset = uint32_t(12 + 16 * tables.size());
    for (const auto& t : tables) {
        put(b, std::string(t.tag, 4));
        be32(b, 0);  // checksum: not checked by readers of the directory
        be32(b, offset);
        be32(b, uint32_t(t.data.size()));
        offset += uint32_t((t.data.size() + 3) / 4 * 4);
    }
    for (const auto& t : tables) {
        put(b, t.data);
        b.resize((b.size() + 3) / 4 * 4, 0);
    }
    return b;
}

bytes make_midi(uint32_t seed) {
    std::mt19937 gen(seed);
    bytes b;
    put(b, "MThd");
    be32(b, 6);
    be16(b, 1);
    be16(b, 2);
    be16(b, 96);
    for (int track = 0; track < 2; ++track) {
        bytes events;
        for (int i = 0; i < 40; ++i) {
            uint8_t note = uint8_t(48 + gen() % 24);
            put(events, bytes{0x00, 0x90, note, 0x60, 0x30, 0x80, note, 0x00});
        }
        put(events, bytes{0x00, 0xFF, 0x2F, 0x00});
        put(b, "MTrk");
        be32(b, uint32_t(events.size()));
        put(b, events);
    }
    return b;
}

bytes make_amr(uint32_t seed) {
    bytes b;
    put(b, "#!AMR\n");
    bytes body = pseudo_random_bytes(31 * 60, seed);
    for (int i = 0; i < 60; ++i) {
        b.push_back(0x3C);  // 12.2 kbit/s, quality bit set
        b.insert(b.end(), body.begin() + i * 31, body.begin() + (i + 1) * 31);
    }
    return b;
}

bytes make_djvu(uint32_t seed) {
    bytes info{0x00, 0x40, 0x00, 0x30, 0x18, 0x00, 0x64, 0x00, 0x16, 0x00};
    bytes jb2 = pseudo_random_bytes(2001 + seed % 5, seed);
    bytes form;
    put(form, "DJVU");
    put(form, "INFO");
    be32(form, uint32_t(info.size()));
    put(form, info);
    put(form, "Sjbz");
    be32(form, uint32_t(jb2.size()));
    put(form, jb2);
    if (jb2.size() & 1) form.push_back(0);
    bytes b;
    put(b, "AT&TFORM");
    be32(b, uint32_t(form.size()));
    put(b, form);
    return b;
}

std::vector<dated_sample> camera_samples(const std::string& work_dir) {
    std::vector<dated_sample> out;
    auto add = [&](std::string label, std::string type, bytes data, int64_t taken = 0) {
        if (data.empty()) {
            std::cerr << "note: no " << label << " sample (its tool is missing or failed)\n";
            return;
        }
        out.push_back({{std::move(label), std::move(type), std::move(data)}, taken});
    };
    for (const char* kind : {"dng", "cr2", "nef", "arw", "pef", "orf", "rw2"})
        add(std::string(kind) + " written in code", kind, make_tiff_raw(kind, uint32_t(kind[0] + kind[1])),
            sample_taken);
    add("raf written in code", "raf", make_raf(3));
    add("cr3 written in code", "cr3", make_cr3(13), sample_taken);
    add("ttf written in code", "ttf", make_ttf(4));
    add("midi written in code", "mid", make_midi(5));
    add("djvu written in code", "djvu", make_djvu(6));

    const std::string dir = work_dir + "/camera";
    std::filesystem::create_directories(dir);
    auto at = [&](const std::string& name) { return dir + "/" + name; };
    if (have_tool("ffmpeg")) {
        const std::string ff = "ffmpeg -hide_banner -loglevel error -nostdin -y ";
        const std::string video = "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 ";
        const std::string sound = "-f lavfi -i sine=frequency=440:duration=1 ";
        const std::string date = "-metadata creation_time=2021-07-14T09:30:15Z ";
        struct job {
            std::string label, type, file, args;
            int64_t taken;
        };
        const std::vector<job> jobs{
            {"mkv from ffmpeg", "mkv", "v.mkv", video + sound + "-c:v libx264 -c:a aac", 0},
            {"webm from ffmpeg", "webm", "v.webm", video + sound + "-c:v libvpx -c:a libopus", 0},
            {"ts from ffmpeg", "ts", "v.ts", video + sound + "-c:v mpeg2video -c:a mp2 -f mpegts", 0},
            {"m2ts from ffmpeg", "m2ts", "v.m2ts",
             video + sound + "-c:v mpeg2video -c:a mp2 -f mpegts -mpegts_m2ts_mode 1", 0},
            {"mpg from ffmpeg", "mpg", "v.mpg", video + sound + "-c:v mpeg2video -c:a mp2 -f vob", 0},
            {"wmv from ffmpeg", "wmv", "v.wmv", video + sound + "-c:v wmv2 -c:a wmav2", 0},
            {"wma from ffmpeg", "wma", "a.wma", sound + "-c:a wmav2", 0},
            {"flv from ffmpeg", "flv", "v.flv", video + sound + "-c:v flv1 -c:a aac -ar 44100", 0},
            {"3gp from ffmpeg", "3gp", "v.3gp", video + sound + "-c:v libx264 -c:a aac -ar 8000 -ac 1 " + date,
             sample_taken},
            {"3g2 from ffmpeg", "3g2", "v.3g2", video + sound + "-c:v libx264 -c:a aac -ar 8000 -ac 1 -f 3g2", 0},
            {"m4v from ffmpeg", "m4v", "v.m4v", video + "-c:v libx264 -f ipod", 0},
            {"mp4 from ffmpeg", "mp4", "v.mp4", video + sound + "-c:v libx264 -c:a aac " + date, sample_taken},
            {"mov from ffmpeg", "mov", "v.mov", video + "-c:v libx264 " + date, sample_taken},
            {"aac from ffmpeg", "aac", "a.aac", sound + "-c:a aac -f adts", 0},
            {"opus from ffmpeg", "opus", "a.opus", sound + "-c:a libopus", 0},
            {"aiff from ffmpeg", "aiff", "a.aiff", sound, 0},
        };
        for (const auto& j : jobs)
            add(j.label, j.type, tool_file(ff + j.args + " " + shell(at(j.file)), at(j.file)), j.taken);
    } else {
        std::cerr << "note: ffmpeg is not installed; the video and sound types are not checked\n";
    }
    if (have_tool("convert")) {
        const std::string picture = "convert -size 64x48 -seed 5 plasma:fractal ";
        const bool exiftool = have_tool("exiftool");
        const std::string date =
            std::string("exiftool -q -overwrite_original -DateTimeOriginal='") + sample_taken_exif + "' ";
        for (const char* ext : {"heic", "avif", "jpg"}) {
            std::string f = at(std::string("p.") + ext);
            bytes made = tool_file(picture + shell(f), f);
            if (!made.empty() && exiftool) made = tool_file(date + shell(f), f, true);
            add(std::string(ext) + " from convert", ext, made, exiftool ? sample_taken : 0);
        }
        add("psd from convert", "psd", tool_file(picture + shell(at("p.psd")), at("p.psd")));
        add("ico from convert", "ico",
            tool_file("convert -size 32x32 gradient:red-blue -define icon:auto-resize=32,16 " + shell(at("p.ico")),
                      at("p.ico")));
    } else {
        std::cerr << "note: ImageMagick is not installed; HEIC, AVIF, PSD and ICO are not checked\n";
    }
    if (have_tool("genisoimage")) {
        std::filesystem::create_directories(at("iso"));
        write_file(at("iso/data.bin"), pseudo_random_bytes(70000, 8));
        add("iso from genisoimage", "iso",
            tool_file("genisoimage -quiet -o " + shell(at("d.iso")) + " " + shell(at("iso")), at("d.iso")));
    }
    if (have_tool("qemu-img")) {
        write_file(at("disk.raw"), pseudo_random_bytes(300000, 9));
        for (const char* fmt : {"qcow2", "vdi", "vmdk"}) {
            std::string f = at(std::string("d.") + fmt);
            add(std::string(fmt) + " from qemu-img", fmt,
                tool_file(
                    std::string("qemu-img convert -f raw -O ") + fmt + " " + shell(at("disk.raw")) + " " + shell(f),
                    f));
        }
    } else {
        std::cerr << "note: qemu-img is not installed; QCOW2, VDI and VMDK are not checked\n";
    }
    if (have_tool("zip")) {
        std::filesystem::create_directories(at("book/META-INF"));
        write_file(at("book/mimetype"), bytes{'a', 'p', 'p', 'l', 'i', 'c', 'a', 't', 'i', 'o',
                                              'n', '/', 'e', 'p', 'u', 'b', '+', 'z', 'i', 'p'});
        std::string container = "<container><rootfiles><rootfile full-path=\"book.opf\"/></rootfiles></container>";
        write_file(at("book/META-INF/container.xml"), bytes(container.begin(), container.end()));
        write_file(at("book/book.opf"), pseudo_random_bytes(3000, 10));
        add("epub from zip", "epub",
            tool_file("cd " + shell(at("book")) +
                          " && zip -q -X -0 ../b.epub mimetype && zip -q -X -r ../b.epub META-INF "
                          "book.opf",
                      at("b.epub")));
    }
    // fontTools may live with the system's python3 rather than the first one on PATH.
    std::string python;
    for (const char* p : {"python3", "/usr/bin/python3"})
        if (python.empty() && run(std::string(p) + " -c " + shell("import fontTools")) == 0) python = p;
    if (!python.empty()) {
        write_file(at("f.ttf"), make_ttf(11));
        std::string script = "from fontTools.ttLib import TTFont; f = TTFont('" + at("f.ttf") +
                             "', lazy=True); f.flavor = 'woff'; f.save('" + at("f.woff") + "')";
        add("woff from fontTools", "woff", tool_file(python + " -c " + shell(script), at("f.woff")));
        // WOFF2 needs brotli beside fontTools.
        if (run(python + " -c " + shell("import brotli")) == 0) {
            // A real font with outlines, so the glyf and loca tables go through WOFF2's transform.
            script =
                "from fontTools.fontBuilder import FontBuilder\n"
                "from fontTools.pens.ttGlyphPen import TTGlyphPen\n"
                "def shape(w):\n"
                "    p = TTGlyphPen(None); p.moveTo((100, 0)); p.lineTo((100, 700)); p.lineTo((w, "
                "700))\n"
                "    p.lineTo((w, 0)); p.closePath(); return p.glyph()\n"
                "fb = FontBuilder(1000, isTTF=True)\n"
                "fb.setupGlyphOrder(['.notdef', 'A', 'B'])\n"
                "fb.setupCharacterMap({65: 'A', 66: 'B'})\n"
                "fb.setupGlyf({'.notdef': shape(500), 'A': shape(520), 'B': shape(540)})\n"
                "fb.setupHorizontalMetrics({'.notdef': (600, 100), 'A': (620, 100), 'B': (640, "
                "100)})\n"
                "fb.setupHorizontalHeader(ascent=800, descent=-200)\n"
                "fb.setupNameTable({'familyName': 'Quorvane Test', 'styleName': 'Regular'})\n"
                "fb.setupOS2(); fb.setupPost()\n"
                "fb.font.flavor = 'woff2'\n"
                "fb.save('" +
                at("f.woff2") + "')\n";
            add("woff2 from fontTools", "woff2", tool_file(python + " -c " + shell(script), at("f.woff2")));
        } else {
            std::cerr << "note: python3 has no brotli; WOFF2 is not checked\n";
        }
    } else {
        std::cerr << "note: python3 has no fontTools; WOFF is not checked\n";
    }
    // An AMR stream has no end mark, so it goes last, before the zeros that
    // lay_out_mixed puts after the last file.
    add("amr written in code", "amr", make_amr(12));
    return out;
}

laid_image lay_out_mixed(const std::vector<sample>& samples, uint32_t seed, bool sector_aligned) {
    std::mt19937 gen(seed);
    std::vector<uint64_t> where;
    uint64_t pos = 4096 + gen() % 4096;
    for (const sample& s : samples) {
        if (sector_aligned) pos = (pos + 511) / 512 * 512;
        where.push_back(pos);
        pos += s.data.size() + 512 * (1 + gen() % 6) + (sector_aligned ? 0 : gen() % 512);
    }
    const uint64_t total = (pos + 4096 + 511) / 512 * 512;
    laid_image result;
    result.image = pseudo_random_bytes(size_t(total), seed ^ 0xF111);
    // The gap after file i (and before the first) is random, zeros or text in turn.
    uint64_t gap_start = 0;
    for (size_t i = 0; i <= samples.size(); ++i) {
        const uint64_t gap_end = i < samples.size() ? where[i] : total;
        const int kind = i == samples.size() ? 1 : int(i % 3);
        for (uint64_t p = gap_start; p < gap_end; ++p) {
            if (kind == 1)
                result.image[p] = 0;
            else if (kind == 2)
                result.image[p] = uint8_t(p % 61 == 0 ? '\n' : p % 7 == 0 ? ' ' : 'a' + gen() % 26);
        }
        if (i < samples.size()) {
            std::copy(samples[i].data.begin(), samples[i].data.end(), result.image.begin() + std::ptrdiff_t(where[i]));
            result.files.push_back({samples[i].label, samples[i].type, where[i], samples[i].data});
            gap_start = where[i] + samples[i].data.size();
        }
    }
    return result;
}

}  // namespace qv::test

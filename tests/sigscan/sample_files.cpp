#include "tests/sigscan/sample_files.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "sigscan/crc.hpp"
#include "tests/support/test_support.hpp"

namespace qv::test {

namespace {

void put(bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void put(bytes& b, const bytes& s) { b.insert(b.end(), s.begin(), s.end()); }
void le16(bytes& b, uint32_t v) { for (int i = 0; i < 2; ++i) b.push_back(uint8_t(v >> (8 * i))); }
void le32(bytes& b, uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i))); }
void le64(bytes& b, uint64_t v) { for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i))); }
void be32(bytes& b, uint32_t v) { for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i))); }
void set_le32(bytes& b, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i)); }

bytes random_text(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    bytes out(n);
    for (auto& c : out) c = uint8_t('a' + gen() % 26);
    return out;
}

uint32_t zcrc(const bytes& b, size_t from = 0, size_t n = ~size_t(0)) {
    n = std::min(n, b.size() - from);
    return uint32_t(crc32(0, b.data() + from, uInt(n)));
}

bytes iso_box(const char* type, const bytes& body) {
    bytes b;
    be32(b, uint32_t(8 + body.size()));
    put(b, std::string(type, 4));
    put(b, body);
    return b;
}

bytes riff_chunk(const char* id, const bytes& body) {
    bytes b;
    put(b, std::string(id, 4));
    le32(b, uint32_t(body.size()));
    put(b, body);
    if (body.size() & 1) b.push_back(0);
    return b;
}

class bit_writer {
public:
    void put(uint64_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) {
            cur_ = uint8_t(cur_ << 1 | ((value >> i) & 1));
            if (++n_ == 8) {
                out.push_back(cur_);
                cur_ = 0;
                n_ = 0;
            }
        }
    }
    void align() {
        while (n_ != 0) put(0, 1);
    }
    bytes out;

private:
    uint8_t cur_ = 0;
    unsigned n_ = 0;
};

// One FLAC frame: channel 0 verbatim, channel 1 a fixed order-2 predictor with Rice residuals.
bytes flac_frame(uint32_t number, uint32_t block, uint32_t seed) {
    bit_writer w;
    w.put(0x3FFE, 14);
    w.put(0, 1);
    w.put(0, 1);              // fixed block size
    w.put(7, 4);              // block size: 16 bits at the end of the header
    w.put(9, 4);              // 44.1 kHz
    w.put(1, 4);              // two independent channels
    w.put(4, 3);              // 16 bits per sample
    w.put(0, 1);
    w.put(number, 8);         // frame number < 128: one byte
    w.put(block - 1, 16);
    uint8_t crc8 = qv::sig::flac_crc8(0, w.out.data(), w.out.size());
    w.put(crc8, 8);
    std::mt19937 gen(seed);
    // Channel 0: verbatim.
    w.put(0, 1);
    w.put(1, 6);
    w.put(0, 1);
    for (uint32_t i = 0; i < block; ++i) w.put(gen() & 0xFFFF, 16);
    // Channel 1: fixed order 2, Rice parameter 3, one partition.
    w.put(0, 1);
    w.put(8 + 2, 6);
    w.put(0, 1);
    w.put(gen() & 0xFFFF, 16);
    w.put(gen() & 0xFFFF, 16);
    w.put(0, 2);  // Rice, 4-bit parameters
    w.put(0, 4);  // partition order 0
    w.put(3, 4);
    for (uint32_t i = 2; i < block; ++i) {
        int32_t residual = int32_t(gen() % 41) - 20;
        uint32_t folded = residual >= 0 ? uint32_t(residual) << 1 : (uint32_t(-residual) << 1) - 1;
        for (uint32_t q = folded >> 3; q > 0; --q) w.put(0, 1);
        w.put(1, 1);
        w.put(folded & 7, 3);
    }
    w.align();
    uint16_t crc16 = qv::sig::flac_crc16(0, w.out.data(), w.out.size());
    w.put(crc16, 16);
    return w.out;
}

bytes ogg_page(uint8_t flags, uint32_t serial, uint32_t sequence, uint64_t granule, const bytes& body) {
    bytes lacing;
    size_t left = body.size();
    while (left >= 255) {
        lacing.push_back(255);
        left -= 255;
    }
    lacing.push_back(uint8_t(left));
    bytes p;
    put(p, "OggS");
    p.push_back(0);
    p.push_back(flags);
    le64(p, granule);
    le32(p, serial);
    le32(p, sequence);
    le32(p, 0);
    p.push_back(uint8_t(lacing.size()));
    put(p, lacing);
    put(p, body);
    set_le32(p, 22, qv::sig::ogg_crc(0, p.data(), p.size()));
    return p;
}

bytes rar4_block(uint8_t type, uint16_t flags, const bytes& fields) {
    bytes h{0, 0, type};
    le16(h, flags);
    le16(h, uint16_t(7 + fields.size()));
    put(h, fields);
    uint32_t crc = zcrc(h, 2) & 0xFFFF;
    h[0] = uint8_t(crc);
    h[1] = uint8_t(crc >> 8);
    return h;
}

void vint(bytes& b, uint64_t v) {
    do {
        uint8_t c = v & 0x7F;
        v >>= 7;
        b.push_back(uint8_t(c | (v ? 0x80 : 0)));
    } while (v);
}

bytes rar5_block(const bytes& header) {
    bytes sized;
    vint(sized, header.size());
    put(sized, header);
    bytes b;
    le32(b, zcrc(sized));
    put(b, sized);
    return b;
}

std::string shell(const std::string& s) { return shell_quote(s); }

}  // namespace

bytes make_pdf(uint32_t seed, bool incremental_update) {
    std::string body = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offsets;
    offsets.push_back(body.size());
    body += "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
    offsets.push_back(body.size());
    body += "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n";
    offsets.push_back(body.size());
    body += "3 0 obj\n<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>\nendobj\n";
    offsets.push_back(body.size());
    bytes stream = pseudo_random_bytes(3000, seed);
    for (size_t i = 0; i + 1 < stream.size(); ++i)
        if (stream[i] == '%') stream[i] = '#';
    body += "4 0 obj\n<< /Length " + std::to_string(stream.size()) + " /Filter /FlateDecode >>\nstream\n";
    body.append(stream.begin(), stream.end());
    body += "\nendstream\nendobj\n";
    size_t xref = body.size();
    body += "xref\n0 5\n0000000000 65535 f \n";
    for (size_t o : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
        body += line;
    }
    body += "trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    if (incremental_update) {
        size_t obj = body.size();
        body += "5 0 obj\n<< /Producer (update) >>\nendobj\n";
        size_t xref2 = body.size();
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", obj);
        body += "xref\n5 1\n" + std::string(line) + "trailer\n<< /Size 6 /Root 1 0 R /Prev " +
                std::to_string(xref) + " >>\nstartxref\n" + std::to_string(xref2) + "\n%%EOF\n";
    }
    return bytes(body.begin(), body.end());
}

bytes make_wav(uint32_t seed) {
    bytes fmt;
    le16(fmt, 1);
    le16(fmt, 2);
    le32(fmt, 44100);
    le32(fmt, 44100 * 4);
    le16(fmt, 4);
    le16(fmt, 16);
    bytes body;
    put(body, "WAVE");
    put(body, riff_chunk("fmt ", fmt));
    put(body, riff_chunk("data", pseudo_random_bytes(20000, seed)));
    return riff_chunk("RIFF", body);
}

bytes make_avi(uint32_t seed) {
    bytes hdrl;
    put(hdrl, "hdrl");
    put(hdrl, riff_chunk("avih", bytes(56, 0)));
    bytes movi;
    put(movi, "movi");
    for (int i = 0; i < 5; ++i) put(movi, riff_chunk("00dc", pseudo_random_bytes(3001 + i, seed + i)));
    bytes body;
    put(body, "AVI ");
    put(body, riff_chunk("LIST", hdrl));
    put(body, riff_chunk("LIST", movi));
    put(body, riff_chunk("idx1", bytes(80, 0)));
    return riff_chunk("RIFF", body);
}

bytes make_iso_media(const char* brand, uint32_t seed) {
    bytes ftyp;
    put(ftyp, std::string(brand, 4));
    be32(ftyp, 0x200);
    put(ftyp, std::string(brand, 4));
    put(ftyp, "isommp41");
    bytes out = iso_box("ftyp", ftyp);
    if (std::string(brand, 4) == "qt  ") put(out, iso_box("wide", {}));
    put(out, iso_box("free", bytes(20, 0)));
    put(out, iso_box("mdat", pseudo_random_bytes(25000, seed)));
    bytes mvhd(100, 0);
    put(out, iso_box("moov", iso_box("mvhd", mvhd)));
    return out;
}

bytes make_flac(uint32_t seed) {
    constexpr uint32_t block = 1152, last_block = 300, full_frames = 4;
    std::vector<bytes> frames;
    for (uint32_t i = 0; i < full_frames; ++i) frames.push_back(flac_frame(i, block, seed + i));
    frames.push_back(flac_frame(full_frames, last_block, seed + 99));
    uint32_t min_frame = ~0u, max_frame = 0;
    for (const auto& f : frames) {
        min_frame = std::min<uint32_t>(min_frame, uint32_t(f.size()));
        max_frame = std::max<uint32_t>(max_frame, uint32_t(f.size()));
    }
    uint64_t total = uint64_t(block) * full_frames + last_block;
    bit_writer si;
    si.put(block, 16);
    si.put(block, 16);
    si.put(min_frame, 24);
    si.put(max_frame, 24);
    si.put(44100, 20);
    si.put(1, 3);   // two channels
    si.put(15, 5);  // 16 bits
    si.put(total, 36);
    for (int i = 0; i < 16; ++i) si.put(0, 8);
    bytes out;
    put(out, "fLaC");
    out.push_back(0x00);  // STREAMINFO, not last
    out.push_back(0);
    out.push_back(0);
    out.push_back(34);
    put(out, si.out);
    out.push_back(0x81);  // PADDING, last
    out.push_back(0);
    out.push_back(0);
    out.push_back(64);
    put(out, bytes(64, 0));
    for (const auto& f : frames) put(out, f);
    return out;
}

bytes make_ogg(uint32_t seed) {
    constexpr uint32_t serial = 0x1234ABCD;
    bytes head;
    head.push_back(1);
    put(head, "vorbis");
    put(head, pseudo_random_bytes(23, seed));
    bytes out = ogg_page(2, serial, 0, 0, head);
    put(out, ogg_page(0, serial, 1, 0, pseudo_random_bytes(3000, seed + 1)));
    put(out, ogg_page(0, serial, 2, 4096, pseudo_random_bytes(4000, seed + 2)));
    put(out, ogg_page(4, serial, 3, 8192, pseudo_random_bytes(1234, seed + 3)));
    return out;
}

bytes make_ole(const char* stream_name, uint32_t seed) {
    constexpr uint32_t sector = 512, free_sect = 0xFFFFFFFF, end_chain = 0xFFFFFFFE, fat_sect = 0xFFFFFFFD;
    constexpr uint32_t stream_sectors = 8;
    bytes h;
    const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    h.assign(sig, sig + 8);
    put(h, bytes(16, 0));
    le16(h, 0x3E);
    le16(h, 3);
    le16(h, 0xFFFE);
    le16(h, 9);
    le16(h, 6);
    put(h, bytes(6, 0));
    le32(h, 0);          // directory sectors (v3: 0)
    le32(h, 1);          // FAT sectors
    le32(h, 1);          // first directory sector
    le32(h, 0);          // transaction
    le32(h, 4096);       // mini stream cutoff
    le32(h, end_chain);  // mini FAT
    le32(h, 0);
    le32(h, end_chain);  // DIFAT
    le32(h, 0);
    le32(h, 0);  // DIFAT[0]: FAT in sector 0
    while (h.size() < sector) le32(h, free_sect);
    bytes fat;
    le32(fat, fat_sect);
    le32(fat, end_chain);
    for (uint32_t s = 2; s < 2 + stream_sectors; ++s) le32(fat, s + 1 < 2 + stream_sectors ? s + 1 : end_chain);
    while (fat.size() < sector) le32(fat, free_sect);
    auto entry = [](const std::string& name, uint8_t type, uint32_t child, uint32_t start, uint32_t size) {
        bytes e(128, 0);
        for (size_t i = 0; i < name.size(); ++i) e[2 * i] = uint8_t(name[i]);
        e[0x40] = uint8_t((name.size() + 1) * 2);
        e[0x42] = type;
        e[0x43] = 1;
        set_le32(e, 0x44, free_sect);
        set_le32(e, 0x48, free_sect);
        set_le32(e, 0x4C, child);
        set_le32(e, 0x74, start);
        set_le32(e, 0x78, size);
        return e;
    };
    bytes dir;
    put(dir, entry("Root Entry", 5, 1, end_chain, 0));
    put(dir, entry(stream_name, 2, free_sect, 2, stream_sectors * sector));
    while (dir.size() < sector) {
        bytes empty(128, 0);
        set_le32(empty, 0x44, free_sect);
        set_le32(empty, 0x48, free_sect);
        set_le32(empty, 0x4C, free_sect);
        put(dir, empty);
    }
    bytes out = h;
    put(out, fat);
    put(out, dir);
    put(out, pseudo_random_bytes(stream_sectors * sector, seed));
    return out;
}

bytes make_rtf() {
    std::string s = "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 Hello \\{not a group\\} "
                    "{\\b bold} \\\\ back\\bin4 }}}}\\par And more {\\i text}.\\par}\r\n";
    return bytes(s.begin(), s.end());
}

bytes make_html() {
    std::string s = "<!DOCTYPE html>\n<html lang=\"en\"><head><title>Found</title>\n"
                    "<script>var s = \"</html>\";</script></head>\n<body><p>Some text";
    for (int i = 0; i < 40; ++i) s += " and more words to fill a few sectors";
    s += "</p></body>\n</HTML >\n";
    return bytes(s.begin(), s.end());
}

bytes make_xml() {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- a <comment> -->\n"
                    "<!DOCTYPE catalog [ <!ELEMENT catalog ANY> ]>\n<catalog id=\"1\">\n";
    for (int i = 0; i < 30; ++i) s += "  <catalog><item n=\"" + std::to_string(i) + "\">value</item></catalog>\n";
    s += "</catalog>\n";
    return bytes(s.begin(), s.end());
}

bytes make_pe(uint32_t seed) {
    constexpr uint32_t lfanew = 0x80, headers = 0x200;
    bytes out(lfanew, 0);
    out[0] = 'M';
    out[1] = 'Z';
    set_le32(out, 0x3C, lfanew);
    put(out, std::string("PE\0\0", 4));
    le16(out, 0x14C);  // i386
    le16(out, 2);      // sections
    le32(out, 0);
    le32(out, 0);
    le32(out, 0);
    le16(out, 224);  // optional header
    le16(out, 0x0102);
    size_t opt = out.size();
    out.resize(opt + 224, 0);
    out[opt] = 0x0B;
    out[opt + 1] = 0x01;
    set_le32(out, opt + 60, headers);
    set_le32(out, opt + 92, 16);
    set_le32(out, opt + 96 + 8 * 4, 0x800);      // certificate table
    set_le32(out, opt + 96 + 8 * 4 + 4, 0x100);
    auto section = [&](const char* name, uint32_t raw_size, uint32_t raw_at) {
        bytes s(40, 0);
        std::memcpy(s.data(), name, std::strlen(name));
        set_le32(s, 8, raw_size);
        set_le32(s, 16, raw_size);
        set_le32(s, 20, raw_at);
        put(out, s);
    };
    section(".text", 0x400, 0x200);
    section(".data", 0x200, 0x600);
    out.resize(headers, 0);
    put(out, pseudo_random_bytes(0x700, seed));
    return out;
}

bytes make_rar4(uint32_t seed) {
    bytes out{'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
    put(out, rar4_block(0x73, 0, bytes(6, 0)));
    bytes data = pseudo_random_bytes(5000, seed);
    std::string name = "notes.txt";
    bytes f;
    le32(f, uint32_t(data.size()));
    le32(f, uint32_t(data.size()));
    f.push_back(2);
    le32(f, zcrc(data));
    le32(f, 0x5A000000);
    f.push_back(29);
    f.push_back(0x30);
    le16(f, uint16_t(name.size()));
    le32(f, 0x20);
    put(f, name);
    put(out, rar4_block(0x74, 0x8000, f));
    put(out, data);
    put(out, rar4_block(0x7B, 0x4000, {}));
    return out;
}

bytes make_rar5(uint32_t seed) {
    bytes out{'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
    bytes main;
    vint(main, 1);  // main archive header
    vint(main, 0);
    vint(main, 0);
    put(out, rar5_block(main));
    bytes data = pseudo_random_bytes(4321, seed);
    bytes file;
    vint(file, 2);  // file header
    vint(file, 2);  // has a data area
    vint(file, data.size());
    vint(file, 0);  // file flags
    vint(file, data.size());
    vint(file, 0x20);
    vint(file, 0);  // compression: stored
    vint(file, 1);  // host: unix
    vint(file, 5);
    put(file, "a.bin");
    put(out, rar5_block(file));
    put(out, data);
    bytes end;
    vint(end, 5);
    vint(end, 0);
    vint(end, 0);
    put(out, rar5_block(end));
    return out;
}

bytes make_7z(uint32_t seed) {
    bytes packed = pseudo_random_bytes(6000, seed);
    bytes header{0x01, 0x04, 0x06, 0x00, 0x01, 0x09, 0x80, 0x00, 0x07, 0x0B, 0x01, 0x00, 0x00};
    bytes out{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x04};
    bytes start;
    le64(start, packed.size());
    le64(start, header.size());
    le32(start, zcrc(header));
    le32(out, zcrc(start));
    put(out, start);
    put(out, packed);
    put(out, header);
    return out;
}

bytes make_mp3(bool id3, uint32_t seed) {
    bytes out;
    if (id3) {
        bytes frame;
        put(frame, "TIT2");
        be32(frame, 6);
        le16(frame, 0);
        frame.push_back(0);
        put(frame, "Song!");
        bytes tag = frame;
        tag.resize(tag.size() + 100, 0);  // padding
        put(out, "ID3");
        out.push_back(3);
        out.push_back(0);
        out.push_back(0);
        uint32_t n = uint32_t(tag.size());
        for (int s = 21; s >= 0; s -= 7) out.push_back(uint8_t((n >> s) & 0x7F));
        put(out, tag);
    }
    std::mt19937 gen(seed);
    for (int i = 0; i < 24; ++i) {
        bool pad = i % 3 == 1;
        uint8_t h[4] = {0xFF, 0xFB, uint8_t(0x90 | (pad ? 2 : 0)), 0x64};
        out.insert(out.end(), h, h + 4);
        size_t length = 417 + (pad ? 1 : 0);
        for (size_t k = 4; k < length; ++k) out.push_back(uint8_t(gen()));
    }
    bytes tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    std::memcpy(tag.data() + 3, "Title", 5);
    put(out, tag);
    return out;
}

bytes jpeg_with_thumbnail(const bytes& jpeg, const bytes& thumbnail) {
    bytes app1;
    put(app1, std::string("Exif\0\0", 6));
    put(app1, thumbnail);
    bytes out{0xFF, 0xD8, 0xFF, 0xE1};
    uint32_t length = uint32_t(app1.size() + 2);
    out.push_back(uint8_t(length >> 8));
    out.push_back(uint8_t(length));
    put(out, app1);
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

bytes make_with_convert(const std::string& work_dir, const std::string& ext, int size, int seed) {
    if (!have_tool("convert")) return {};
    std::string out = work_dir + "/picture-" + std::to_string(seed) + "." + ext;
    std::string dims = std::to_string(size) + "x" + std::to_string(size);
    std::string cmd = "convert -size " + dims + " -seed " + std::to_string(seed) + " plasma:fractal";
    if (ext == "gif") cmd += " -colors 64";
    if (ext == "jpg") cmd += " -quality 90";
    if (run(cmd + " " + shell(out)) != 0) return {};
    return read_file(out);
}

bytes make_zip_tool(const std::string& work_dir, bool store_only, const bytes& member) {
    if (!have_tool("zip")) return {};
    std::string dir = work_dir + "/zip-src";
    std::filesystem::create_directories(dir);
    write_file(dir + "/member.bin", member);
    write_file(dir + "/readme.txt", random_text(5000, 5));
    std::string out = work_dir + (store_only ? "/stored.zip" : "/deflated.zip");
    std::filesystem::remove(out);
    if (run("cd " + shell(dir) + " && zip -q -X " + (store_only ? "-0 " : "-9 ") + shell(out) +
            " member.bin readme.txt") != 0)
        return {};
    return read_file(out);
}

bytes make_office_zip(const std::string& work_dir, const std::string& kind) {
    if (!have_tool("python3")) return {};
    std::string out = work_dir + "/office." + kind;
    std::string script =
        "import zipfile, sys\n"
        "kind, out = sys.argv[1], sys.argv[2]\n"
        "z = zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED)\n"
        "if kind == 'odt':\n"
        "    z.writestr(zipfile.ZipInfo('mimetype'), 'application/vnd.oasis.opendocument.text', zipfile.ZIP_STORED)\n"
        "    z.writestr('content.xml', '<office:document-content>' + 'text ' * 500 + '</office:document-content>')\n"
        "    z.writestr('META-INF/manifest.xml', '<manifest/>')\n"
        "else:\n"
        "    z.writestr('[Content_Types].xml', '<Types/>')\n"
        "    z.writestr('_rels/.rels', '<Relationships/>')\n"
        "    main = {'docx': 'word/document.xml', 'xlsx': 'xl/workbook.xml'}[kind]\n"
        "    z.writestr(main, '<doc>' + 'cell ' * 800 + '</doc>')\n"
        "z.close()\n";
    std::string script_path = work_dir + "/office.py";
    write_file(script_path, bytes(script.begin(), script.end()));
    if (run("python3 " + shell(script_path) + " " + kind + " " + shell(out)) != 0) return {};
    return read_file(out);
}

bytes make_compressed(const std::string& work_dir, const std::string& tool, uint32_t seed) {
    if (!have_tool(tool)) return {};
    std::string in = work_dir + "/plain-" + tool;
    bytes content = random_text(30000 + seed * 7, seed);
    put(content, pseudo_random_bytes(20000, seed));
    write_file(in, content);
    if (run(tool + " -k -f " + shell(in)) != 0) return {};
    std::string ext = tool == "gzip" ? ".gz" : tool == "bzip2" ? ".bz2" : ".xz";
    return read_file(in + ext);
}

bytes make_sqlite(const std::string& work_dir) {
    if (!have_tool("python3")) return {};
    std::string out = work_dir + "/notes.sqlite";
    std::filesystem::remove(out);
    std::string cmd = "python3 -c " +
                      shell("import sqlite3, sys\n"
                            "c = sqlite3.connect(sys.argv[1])\n"
                            "c.execute('create table t (id integer primary key, v text)')\n"
                            "c.executemany('insert into t (v) values (?)', [('row %d ' % i * 20,) for i in range(300)])\n"
                            "c.commit()\n"
                            "c.close()\n") +
                      " " + shell(out);
    if (run(cmd) != 0) return {};
    return read_file(out);
}

bytes make_7z_tool(const std::string& work_dir, uint32_t seed) {
    if (!have_tool("7z")) return {};
    std::string in = work_dir + "/for7z.bin";
    write_file(in, pseudo_random_bytes(9000, seed));
    std::string out = work_dir + "/tool.7z";
    std::filesystem::remove(out);
    if (run("7z a -bd " + shell(out) + " " + shell(in)) != 0) return {};
    return read_file(out);
}

bytes make_audio_tool(const std::string& work_dir, const std::string& kind) {
    std::string tool = kind == "mp3" ? "lame" : "flac";
    if (!have_tool(tool)) return {};
    // Two seconds of a tone with some noise, so encoders use their predictors.
    constexpr uint32_t rate = 44100, frames = rate * 2;
    std::mt19937 gen(77);
    bytes pcm;
    for (uint32_t i = 0; i < frames; ++i) {
        for (int ch = 0; ch < 2; ++ch) {
            double v = 8000.0 * __builtin_sin(double(i) * (ch ? 0.031 : 0.047)) + double(int(gen() % 601) - 300);
            le16(pcm, uint16_t(int16_t(v)));
        }
    }
    bytes fmt;
    le16(fmt, 1);
    le16(fmt, 2);
    le32(fmt, rate);
    le32(fmt, rate * 4);
    le16(fmt, 4);
    le16(fmt, 16);
    bytes body;
    put(body, "WAVE");
    put(body, riff_chunk("fmt ", fmt));
    put(body, riff_chunk("data", pcm));
    std::string wav = work_dir + "/tone.wav";
    write_file(wav, riff_chunk("RIFF", body));
    std::string out = work_dir + "/tone." + kind;
    std::string cmd = kind == "mp3"   ? "lame --quiet --add-id3v2 --tt Tone " + shell(wav) + " " + shell(out)
                      : kind == "ogg" ? "flac -s -f --ogg -o " + shell(out) + " " + shell(wav)
                                      : "flac -s -f -o " + shell(out) + " " + shell(wav);
    if (run(cmd) != 0) return {};
    return read_file(out);
}

bytes small_elf() {
    for (const char* p : {"/usr/bin/true", "/bin/true"}) {
        bytes b = read_file(p);
        if (!b.empty()) return b;
    }
    return {};
}

std::vector<sample> all_samples(const std::string& work_dir) {
    std::vector<sample> out;
    auto add = [&](std::string label, std::string type, bytes data) {
        if (!data.empty()) out.push_back({std::move(label), std::move(type), std::move(data)});
    };
    bytes jpg = make_with_convert(work_dir, "jpg", 96, 1);
    bytes thumb = make_with_convert(work_dir, "jpg", 24, 2);
    bytes png = make_with_convert(work_dir, "png", 64, 3);
    add("jpg", "jpg", jpg);
    if (!jpg.empty() && !thumb.empty()) add("jpg with thumbnail", "jpg", jpeg_with_thumbnail(jpg, thumb));
    add("png", "png", png);
    add("gif", "gif", make_with_convert(work_dir, "gif", 48, 4));
    add("bmp", "bmp", make_with_convert(work_dir, "bmp", 40, 5));
    add("tif", "tif", make_with_convert(work_dir, "tif", 40, 6));
    add("pdf", "pdf", make_pdf(7, false));
    add("pdf with update", "pdf", make_pdf(8, true));
    add("zip", "zip", make_zip_tool(work_dir, false, pseudo_random_bytes(7000, 9)));
    if (!png.empty()) add("zip storing a png", "zip", make_zip_tool(work_dir, true, png));
    add("docx", "docx", make_office_zip(work_dir, "docx"));
    add("xlsx", "xlsx", make_office_zip(work_dir, "xlsx"));
    add("odt", "odt", make_office_zip(work_dir, "odt"));
    add("7z", "7z", make_7z(10));
    add("7z from 7z", "7z", make_7z_tool(work_dir, 11));
    add("rar4", "rar", make_rar4(12));
    add("rar5", "rar", make_rar5(13));
    add("gz", "gz", make_compressed(work_dir, "gzip", 14));
    // The end mark of a bzip2 stream sits at any bit position: several streams.
    for (uint32_t seed : {15u, 31u, 32u, 33u})
        add("bz2 " + std::to_string(seed), "bz2", make_compressed(work_dir, "bzip2", seed));
    add("xz", "xz", make_compressed(work_dir, "xz", 16));
    add("mp3 with ID3", "mp3", make_mp3(true, 17));
    add("mp3 frames only", "mp3", make_mp3(false, 18));
    add("wav", "wav", make_wav(19));
    add("avi", "avi", make_avi(20));
    add("mp4", "mp4", make_iso_media("isom", 21));
    add("mov", "mov", make_iso_media("qt  ", 22));
    add("m4a", "m4a", make_iso_media("M4A ", 23));
    add("flac", "flac", make_flac(24));
    add("flac from flac", "flac", make_audio_tool(work_dir, "flac"));
    add("ogg from flac", "ogg", make_audio_tool(work_dir, "ogg"));
    add("mp3 from lame", "mp3", make_audio_tool(work_dir, "mp3"));
    add("ogg", "ogg", make_ogg(25));
    add("doc", "doc", make_ole("WordDocument", 26));
    add("xls", "xls", make_ole("Workbook", 27));
    add("rtf", "rtf", make_rtf());
    add("html", "html", make_html());
    add("xml", "xml", make_xml());
    add("sqlite", "sqlite", make_sqlite(work_dir));
    add("elf", "elf", small_elf());
    add("exe", "exe", make_pe(28));
    return out;
}

laid_image lay_out(const std::vector<sample>& samples, uint32_t seed, bool sector_aligned) {
    std::mt19937 gen(seed);
    laid_image result;
    uint64_t pos = 4096 + gen() % 4096;
    std::vector<std::pair<uint64_t, const sample*>> where;
    for (const sample& s : samples) {
        if (sector_aligned) pos = (pos + 511) / 512 * 512;
        where.push_back({pos, &s});
        pos += s.data.size() + 512 * (1 + gen() % 6) + (sector_aligned ? 0 : gen() % 512);
    }
    uint64_t total = (pos + 4096 + 511) / 512 * 512;
    result.image = pseudo_random_bytes(size_t(total), seed ^ 0x5EED);
    for (const auto& [offset, s] : where) {
        std::copy(s->data.begin(), s->data.end(), result.image.begin() + std::ptrdiff_t(offset));
        result.files.push_back({s->label, s->type, offset, s->data});
    }
    return result;
}

}  // namespace qv::test

// Names of found files from their tags: real files made by ImageMagick,
// exiftool and ffmpeg, a PDF written here, and hostile tag structures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "sigscan/content_name.hpp"
#include "tests/support/test_support.hpp"

namespace {

using bytes = std::vector<uint8_t>;
using qv::test::run;
using qv::test::shell_quote;

std::string name_of(const bytes& file, const std::string& type) {
    qv::memory_device device(file);
    return qv::sig::content_name(device, 0, file.size(), type);
}

TEST(ContentName, RealFilesFromTheirTools) {
    for (const char* tool : {"convert", "exiftool", "ffmpeg"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    const std::string jpg = dir / "a.jpg", tif = dir / "a.tif", mp3 = dir / "a.mp3", mp3v1 = dir / "b.mp3",
                      mp4 = dir / "a.mp4", mov = dir / "a.mov";
    ASSERT_EQ(run("convert -size 64x48 gradient:red-blue " + shell_quote(jpg)), 0);
    ASSERT_EQ(run("exiftool -q -overwrite_original '-DateTimeOriginal=2024:05:01 13:45:12' '-Model=Canon EOS R6' " +
                  shell_quote(jpg)), 0);
    ASSERT_EQ(run("convert -size 32x32 xc:green " + shell_quote(tif)), 0);
    ASSERT_EQ(run("exiftool -q -overwrite_original '-DateTimeOriginal=2023:12:31 23:59:58' '-Model=NIKON Z 6/II' " +
                  shell_quote(tif)), 0);
    const std::string ff = "ffmpeg -nostdin -loglevel error -y ";
    ASSERT_EQ(run(ff + "-f lavfi -i sine=frequency=440:duration=1 -id3v2_version 3 -metadata 'title=Blue Monday' "
                       "-metadata 'artist=Café Ñandú' " + shell_quote(mp3)), 0);
    ASSERT_EQ(run(ff + "-f lavfi -i sine=frequency=440:duration=1 -write_id3v1 1 "
                       "-metadata title=Old -metadata artist=Band " + shell_quote(mp3v1)), 0);
    // The MP4 keeps its movie header at the end, the MOV at the start.
    for (const auto& [movie, flags] : {std::pair{mp4, ""}, std::pair{mov, "-movflags +faststart "}})
        ASSERT_EQ(run(ff + "-f lavfi -i testsrc=size=64x48:rate=5:duration=1 -pix_fmt yuv420p " + flags +
                           "-metadata creation_time=2024-05-01T13:45:12Z " + shell_quote(movie)), 0);
    struct row {
        std::string path, type, want;
        bool in_head;  // the name comes from the first bytes alone too
    } rows[] = {
        {jpg, "jpg", "2024-05-01 13-45-12 Canon EOS R6", true},
        {tif, "tif", "2023-12-31 23-59-58 NIKON Z 6_II", true},
        {mp3, "mp3", "Café Ñandú - Blue Monday", true},
        {mp3v1, "mp3", "Band - Old", false},
        {mp4, "mp4", "2024-05-01 13-45-12", false},
        {mov, "mov", "2024-05-01 13-45-12", true},
    };
    for (const row& r : rows) {
        bytes file = qv::test::read_file(r.path);
        // The second MP3 is named from its ID3v1 tag alone: its ID3v2 tag is made unrecognisable.
        if (r.path == mp3v1 && file.size() > 3) std::memcpy(file.data(), "XXX", 3);
        EXPECT_EQ(name_of(file, r.type), r.want) << r.path;
        if (r.in_head) {
            qv::byte_view head(file.data(), std::min<size_t>(file.size(), 65536));
            EXPECT_EQ(qv::sig::content_name(head, r.type), r.want) << r.path;
        }
    }

    // ID3v2.4 with UTF-8 and UTF-16 text from ffmpeg's default writer.
    ASSERT_EQ(run(ff + "-f lavfi -i sine=frequency=440:duration=1 -metadata 'title=日本語' -metadata 'artist=A/B' " +
                  shell_quote(mp3)), 0);
    EXPECT_EQ(name_of(qv::test::read_file(mp3), "mp3"), "A_B - 日本語");
}

bytes text_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

std::string pdf_with(const std::string& info) {
    return "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
           "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
           "3 0 obj\n<< /Title (Outline entry) >>\nendobj\n"
           "13 0 obj\n" + info + "\nendobj\n"
           "trailer\n<< /Size 14 /Root 1 0 R /Info 13 0 R >>\n%%EOF\n";
}

TEST(ContentName, PdfDocumentTitle) {
    struct row {
        std::string info, want;
    } rows[] = {
        {"<< /Producer (x) /Title (Annual Report \\(2024\\)) >>", "Annual Report (2024)"},
        {"<< /Title <FEFF00480069002F0021> >>", "Hi_!"},
        {"<< /Title (Caf\\351\\nMenu) >>", "Café Menu"},
        {"<< /Title (   ) >>", ""},
        {"<< /Author (nobody) >>", ""},
        {"<< /Title (never closed >>", ""},
    };
    for (const row& r : rows) EXPECT_EQ(name_of(text_bytes(pdf_with(r.info)), "pdf"), r.want) << r.info;

    // The title in a large file's trailer area, far past the head that is read.
    std::string big = "%PDF-1.4\n" + std::string(300 * 1024, '%') + "\n" + pdf_with("<< /Title (Far End) >>").substr(9);
    EXPECT_EQ(name_of(text_bytes(big), "pdf"), "Far End");
}

// An ID3v2.4 tag with a TPE1 "Band" frame and a TIT2 frame of these flags and body.
bytes id3v24_with_title(uint8_t format_flags, const bytes& body) {
    bytes tag{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
    auto frame = [&](const char* id, uint8_t flags, const bytes& b) {
        tag.insert(tag.end(), id, id + 4);
        for (int shift : {21, 14, 7, 0}) tag.push_back(uint8_t(b.size() >> shift & 0x7F));
        tag.push_back(0);
        tag.push_back(flags);
        tag.insert(tag.end(), b.begin(), b.end());
    };
    frame("TPE1", 0, {3, 'B', 'a', 'n', 'd'});
    frame("TIT2", format_flags, body);
    const size_t size = tag.size() - 10;
    for (int i = 0; i < 4; ++i) tag[6 + i] = uint8_t(size >> (7 * (3 - i)) & 0x7F);
    return tag;
}

TEST(ContentName, Id3FrameFlags) {
    struct row {
        const char* what;
        uint8_t flags;
        bytes body;
        const char* want;
    } rows[] = {
        {"plain UTF-8", 0x00, {3, 'S', 'o', 'n', 'g'}, "Band - Song"},
        {"data length before the text", 0x01, {0, 0, 0, 5, 3, 'S', 'o', 'n', 'g'}, "Band - Song"},
        {"UTF-16BE", 0x00, {2, 0, 'H', 0, 'i'}, "Band - Hi"},
        {"UTF-16 with BOM, little-endian", 0x00, {1, 0xFF, 0xFE, 'H', 0, 'i', 0}, "Band - Hi"},
        {"UTF-16 without BOM", 0x00, {1, 'H', 0, 'i', 0}, ""},
        {"Latin-1", 0x00, {0, 'N', 0xE9}, "Band - N\xC3\xA9"},
        {"compressed", 0x08, {3, 'x', 'x'}, ""},
        {"encrypted", 0x04, {3, 'x', 'x'}, ""},
    };
    for (const row& r : rows) {
        bytes tag = id3v24_with_title(r.flags, r.body);
        EXPECT_EQ(qv::sig::content_name(qv::byte_view(tag.data(), tag.size()), "mp3"), r.want) << r.what;
    }
}

TEST(ContentName, StemsAreSafeAndBounded) {
    struct row {
        std::string in, want;
    } rows[] = {
        {"a/b\\c", "a_b_c"},
        {std::string("x\0y", 3), "x_y"},
        {"  two   words \t", "two words"},
        {"bell\x07", "bell_"},
        {"bad \xFF byte", "bad _ byte"},
        {"..", ""},
        {" \t\n", ""},
    };
    for (const row& r : rows) EXPECT_EQ(qv::sig::name_stem_of(r.in), r.want) << r.in;
    // Cut at a character boundary: 59 two-byte characters fit in 120 bytes, the 61st would not.
    std::string long_text;
    for (int i = 0; i < 100; ++i) long_text += "é";
    EXPECT_EQ(qv::sig::name_stem_of("x" + long_text).size(), 119u);
}

void put_be(bytes& b, size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * (n - 1 - i)));
}

// A JPEG head with an Exif segment whose TIFF structure `tiff` gives.
bytes jpeg_with_tiff(const bytes& tiff, size_t declared) {
    const uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    bytes j(sizeof head + tiff.size());
    std::memcpy(j.data(), head, sizeof head);
    std::copy(tiff.begin(), tiff.end(), j.begin() + sizeof head);
    put_be(j, 4, declared + 8, 2);
    return j;
}

// Writes text to dir/path, making its folders.
void put_text(const std::string& dir, const std::string& path, const std::string& text) {
    const std::string full = dir + "/" + path;
    ASSERT_EQ(run("mkdir -p " + shell_quote(full.substr(0, full.rfind('/')))), 0);
    qv::test::write_file(full, text_bytes(text));
}

TEST(ContentName, PackagedDocumentTitles) {
    if (!qv::test::have_tool("zip")) GTEST_SKIP() << "zip is not installed";
    qv::test::temp_dir dir;
    const std::string docx = dir / "docx", odt = dir / "odt", epub = dir / "epub", bare = dir / "bare";
    // Office Open XML: the title in docProps/core.xml, deflated by zip, entities and all.
    put_text(docx, "[Content_Types].xml", "<Types/>");
    put_text(docx, "word/document.xml", std::string(5000, 'w'));
    put_text(docx, "docProps/core.xml",
             "<?xml version=\"1.0\"?><cp:coreProperties xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
             "<dc:title>Q3 report &amp; plans &#x263A; &#233;t&#xe9;</dc:title><dc:creator>A</dc:creator>"
             "</cp:coreProperties>" + std::string(3000, ' '));
    // OpenDocument: the mimetype stored first, the title in meta.xml.
    put_text(odt, "mimetype", "application/vnd.oasis.opendocument.text");
    put_text(odt, "content.xml", "<office:document-content/>");
    put_text(odt, "meta.xml", "<office:meta><dc:title>Notes/2024</dc:title></office:meta>");
    // EPUB: the package document names the book.
    put_text(epub, "mimetype", "application/epub+zip");
    put_text(epub, "OEBPS/content.opf", "<package><metadata><dc:title id=\"t\">Moby-Dick</dc:title></metadata></package>");
    // A package without a title, and one whose title is empty.
    put_text(bare, "docProps/core.xml", "<cp:coreProperties><dc:title/></cp:coreProperties>");
    put_text(bare, "word/document.xml", "<w:document/>");
    auto zip = [&](const std::string& folder, const std::string& first) {
        const std::string out = folder + ".zip";
        std::string cmd = "cd " + shell_quote(folder) + " && ";
        if (!first.empty()) cmd += "zip -q -X -0 " + shell_quote(out) + " " + first + " && ";
        EXPECT_EQ(run(cmd + "zip -q -X -r " + shell_quote(out) + " . -x " + (first.empty() ? "none" : first)), 0);
        return qv::test::read_file(out);
    };
    EXPECT_EQ(name_of(zip(docx, ""), "docx"), "Q3 report & plans \u263A \u00E9t\u00E9");
    EXPECT_EQ(name_of(zip(odt, "mimetype"), "odt"), "Notes_2024");
    const bytes book = zip(epub, "mimetype");
    EXPECT_EQ(name_of(book, "epub"), "Moby-Dick");
    EXPECT_EQ(name_of(zip(bare, ""), "docx"), "");
    // Inside a larger device, at an offset: the package's own offsets count from its start.
    bytes device_bytes(4096, 0x55);
    device_bytes.insert(device_bytes.end(), book.begin(), book.end());
    device_bytes.resize(device_bytes.size() + 8192, 0xAA);
    qv::memory_device device(device_bytes);
    EXPECT_EQ(qv::sig::content_name(device, 4096, book.size(), "epub"), "Moby-Dick");

    // Broken packages name nothing: cut short, the end record pointing past the
    // file, sizes beyond reason, a part whose deflated data is noise.
    bytes cut(book.begin(), book.begin() + long(book.size() / 2));
    EXPECT_EQ(name_of(cut, "epub"), "");
    bytes far = book;
    const size_t end = far.size() - 22;
    ASSERT_EQ(qv::byte_view(far.data(), far.size()).le32(end), 0x06054b50u);
    far[end + 16] = far[end + 17] = far[end + 18] = 0xFF;  // central directory offset
    EXPECT_EQ(name_of(far, "epub"), "");
    bytes huge = book;
    huge[end + 12] = huge[end + 13] = huge[end + 14] = huge[end + 15] = 0xFF;  // central directory size
    EXPECT_EQ(name_of(huge, "epub"), "");
    bytes noise = zip(docx, "");
    const std::string marker = "docProps/core.xml";
    const auto name_at = std::search(noise.begin(), noise.end(), marker.begin(), marker.end());
    ASSERT_NE(name_at, noise.end());
    for (auto p = name_at + long(marker.size()); p < name_at + long(marker.size()) + 200 && p < noise.end(); ++p)
        *p ^= 0x5A;  // the local entry's deflated data (and whatever follows it)
    EXPECT_LE(name_of(noise, "docx").size(), 120u);
}

TEST(ContentName, HostileTagsGiveNothing) {
    // Big-endian TIFF: IFD0 at 8 with one entry.
    bytes loop(64, 0);
    std::memcpy(loop.data(), "MM\0*\0\0\0\x08", 8);
    put_be(loop, 8, 1, 2);
    put_be(loop, 10, 34665, 2);  // Exif IFD pointer back at IFD0
    put_be(loop, 12, 4, 2);
    put_be(loop, 14, 1, 4);
    put_be(loop, 18, 8, 4);
    bytes huge = loop;
    put_be(huge, 8, 0xFFFF, 2);  // entries past the data
    bytes text_past = loop;
    put_be(text_past, 10, 36867, 2);  // DateTimeOriginal, 20 bytes at an offset past the end
    put_be(text_past, 12, 2, 2);
    put_be(text_past, 14, 20, 4);
    put_be(text_past, 18, 0xFFFFFFF0, 4);
    bytes id3_past{'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F, 'T', 'I', 'T', '2', 0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 'x'};
    bytes id3_ext{'I', 'D', '3', 4, 0, 0x40, 0, 0, 0, 20, 0x7F, 0x7F, 0x7F, 0x7F, 0, 0};
    bytes id3_bad_encoding{'I', 'D', '3', 3, 0, 0, 0, 0, 0, 30, 'T', 'I', 'T', '2', 0, 0, 0, 3, 0, 0, 9, 'h', 'i'};
    bytes mvhd_short{0, 0, 0, 16, 'm', 'o', 'o', 'v', 0, 0, 0, 8, 'm', 'v', 'h', 'd'};
    bytes box_huge{0, 0, 0, 1, 'm', 'o', 'o', 'v', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    struct row {
        const char* what;
        bytes data;
        const char* type;
    } rows[] = {
        {"exif IFD loop", jpeg_with_tiff(loop, loop.size()), "jpg"},
        {"huge entry count", jpeg_with_tiff(huge, huge.size()), "jpg"},
        {"text past the end", jpeg_with_tiff(text_past, text_past.size()), "jpg"},
        {"segment longer than the data", jpeg_with_tiff(loop, 60000), "jpg"},
        {"truncated exif", bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x40, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M'}, "jpg"},
        {"tiff loop", loop, "tif"},
        {"id3 sizes past the data", id3_past, "mp3"},
        {"id3 extended header past the data", id3_ext, "mp3"},
        {"id3 unknown text encoding", id3_bad_encoding, "mp3"},
        {"mvhd without its fields", mvhd_short, "mp4"},
        {"box of absurd size", box_huge, "mov"},
        {"pdf info never defined", text_bytes("%PDF-1.4\ntrailer << /Info 9 0 R >>"), "pdf"},
        {"empty", bytes{}, "jpg"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(qv::sig::content_name(qv::byte_view(r.data.data(), r.data.size()), r.type), "") << r.what;
        EXPECT_EQ(name_of(r.data, r.type), "") << r.what;
    }
    // Random bytes behind every known header.
    for (uint32_t seed = 1; seed <= 64; ++seed) {
        bytes noise = qv::test::pseudo_random_bytes(4096, seed);
        for (auto [head, type] : {std::pair<bytes, const char*>{{0xFF, 0xD8, 0xFF, 0xE1, 0x10, 0x00, 'E', 'x', 'i', 'f', 0, 0}, "jpg"},
                                  {{'I', 'I', 42, 0}, "tif"},
                                  {{'I', 'D', '3', 3, 0, 0}, "mp3"},
                                  {{'%', 'P', 'D', 'F'}, "pdf"},
                                  {{0, 0, 0x10, 0, 'm', 'o', 'o', 'v'}, "mp4"}}) {
            bytes b = noise;
            std::copy(head.begin(), head.end(), b.begin());
            EXPECT_LE(qv::sig::content_name(qv::byte_view(b.data(), b.size()), type).size(), 120u) << type;
            EXPECT_LE(name_of(b, type).size(), 120u) << type;
        }
    }
}

}  // namespace

// Size rules for programs: ELF objects and PE (Windows) executables.

#include <algorithm>
#include <cstring>
#include <vector>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

namespace {

// Reads ELF fields in the object's own byte order.
struct elf_fields {
    const uint8_t* p;
    size_t size;
    bool big;
    uint64_t get(size_t off, size_t len) const {
        if (off > size || len > size - off) return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < len; ++i) {
            size_t k = big ? i : len - 1 - i;
            v = v << 8 | p[off + k];
        }
        return v;
    }
};

constexpr uint32_t elf_nobits = 8;
constexpr uint32_t max_elf_entries = 65535;

}  // namespace

std::optional<carve_result> measure_elf(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    uint8_t h[64];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    bool wide = h[4] == 2;
    if ((h[4] != 1 && h[4] != 2) || (h[5] != 1 && h[5] != 2) || h[6] != 1) return std::nullopt;
    elf_fields f{h, sizeof h, h[5] == 2};
    uint64_t type = f.get(16, 2), version = f.get(20, 4);
    uint64_t phoff = wide ? f.get(32, 8) : f.get(28, 4);
    uint64_t shoff = wide ? f.get(40, 8) : f.get(32, 4);
    size_t base = wide ? 52 : 40;
    uint64_t ehsize = f.get(base, 2), phentsize = f.get(base + 2, 2), phnum = f.get(base + 4, 2);
    uint64_t shentsize = f.get(base + 6, 2), shnum = f.get(base + 8, 2);
    const uint64_t want_ph = wide ? 56 : 32, want_sh = wide ? 64 : 40;
    if (version != 1 || type == 0 || type > 4 || ehsize != (wide ? 64u : 52u)) return std::nullopt;
    if ((phnum && phentsize != want_ph) || (shoff && shentsize != want_sh)) return std::nullopt;
    uint64_t extent = ehsize;
    auto table_end = [&](uint64_t off, uint64_t count, uint64_t entry) {
        return sat_add(off, sat_mul(count, entry));
    };
    std::vector<uint8_t> entry(want_sh);
    if (shoff && shnum == 0) {  // more than 0xFF00 sections: the count sits in section 0
        if (shoff > limit - std::min(limit, want_sh) || !in.read(start + shoff, entry.data(), want_sh))
            return std::nullopt;
        elf_fields s{entry.data(), entry.size(), f.big};
        shnum = wide ? s.get(32, 8) : s.get(20, 4);
    }
    if (phnum > max_elf_entries || shnum > max_elf_entries) return std::nullopt;
    if (phnum) extent = std::max(extent, table_end(phoff, phnum, want_ph));
    if (shoff) extent = std::max(extent, table_end(shoff, shnum, want_sh));
    if (extent > limit) return std::nullopt;
    std::vector<uint8_t> table;
    if (shoff && shnum) {
        table.resize(size_t(shnum * want_sh));
        if (!in.read(start + shoff, table.data(), table.size())) return std::nullopt;
        for (uint64_t i = 0; i < shnum; ++i) {
            elf_fields s{&table[size_t(i * want_sh)], size_t(want_sh), f.big};
            if (s.get(4, 4) == elf_nobits || s.get(4, 4) == 0) continue;
            uint64_t off = wide ? s.get(24, 8) : s.get(16, 4);
            uint64_t size = wide ? s.get(32, 8) : s.get(20, 4);
            extent = std::max(extent, sat_add(off, size));
        }
    }
    if (phnum) {
        table.resize(size_t(phnum * want_ph));
        if (!in.read(start + phoff, table.data(), table.size())) return std::nullopt;
        for (uint64_t i = 0; i < phnum; ++i) {
            elf_fields s{&table[size_t(i * want_ph)], size_t(want_ph), f.big};
            uint64_t off = wide ? s.get(8, 8) : s.get(4, 4);
            uint64_t size = wide ? s.get(32, 8) : s.get(16, 4);
            extent = std::max(extent, sat_add(off, size));
        }
    }
    return sized(extent, limit);
}

std::optional<carve_result> measure_pe(carve_input& in, uint64_t start, uint64_t limit,
                                       const file_type&) {
    constexpr size_t lfanew_at = 0x3C;
    constexpr uint32_t max_lfanew = 64 * 1024;
    constexpr size_t coff_size = 24, section_size = 40;
    constexpr uint16_t pe32 = 0x10B, pe32_plus = 0x20B;
    constexpr uint16_t dll_flag = 0x2000;
    constexpr uint32_t max_sections = 96;
    constexpr uint32_t security_directory = 4;
    uint8_t mz[64];
    if (!in.read(start, mz, sizeof mz)) return std::nullopt;
    uint32_t lfanew = byte_view(mz, sizeof mz).le32(lfanew_at);
    if (lfanew < sizeof mz || lfanew > max_lfanew || lfanew + coff_size > limit) return std::nullopt;
    uint8_t coff[coff_size];
    if (!in.read(start + lfanew, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0)
        return std::nullopt;
    byte_view c(coff, sizeof coff);
    uint32_t sections = c.le16(6), symbols_at = c.le32(12), symbols = c.le32(16);
    uint32_t optional_size = c.le16(20), flags = c.le16(22);
    if (sections == 0 || sections > max_sections || optional_size < 96) return std::nullopt;
    std::vector<uint8_t> opt(optional_size);
    if (!in.read(start + lfanew + coff_size, opt.data(), opt.size())) return std::nullopt;
    byte_view o(opt.data(), opt.size());
    uint16_t magic = o.le16(0);
    if (magic != pe32 && magic != pe32_plus) return std::nullopt;
    uint64_t extent = o.le32(60);  // SizeOfHeaders
    size_t dirs_at = magic == pe32 ? 96 : 112;
    uint32_t dir_count = o.le32(dirs_at - 4);
    if (dir_count > security_directory && o.has(dirs_at + 8 * security_directory, 8)) {
        // The certificate table is the one directory given as a file offset.
        uint32_t cert = o.le32(dirs_at + 8 * security_directory);
        uint32_t cert_size = o.le32(dirs_at + 8 * security_directory + 4);
        if (cert && cert_size) extent = std::max(extent, uint64_t(cert) + cert_size);
    }
    uint64_t table = start + lfanew + coff_size + optional_size;
    std::vector<uint8_t> sec(size_t(sections) * section_size);
    if (!in.read(table, sec.data(), sec.size())) return std::nullopt;
    extent = std::max(extent, table - start + sec.size());
    for (uint32_t i = 0; i < sections; ++i) {
        byte_view s(&sec[i * section_size], section_size);
        uint32_t raw_size = s.le32(16), raw_at = s.le32(20);
        if (raw_size && raw_at) extent = std::max(extent, uint64_t(raw_at) + raw_size);
    }
    if (symbols_at && symbols) {  // object-style symbol table, then its string table
        uint64_t strings = uint64_t(symbols_at) + uint64_t(symbols) * 18;
        uint8_t len[4];
        if (strings + 4 <= limit && in.read(start + strings, len, 4))
            extent = std::max(extent, strings + byte_view(len, 4).le32(0));
    }
    return sized(extent, limit, (flags & dll_flag) ? "dll" : "");
}

}  // namespace qv::sig

#include "sigscan/header_search.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#ifdef QV_HAVE_VECTORSCAN
#include <hs.h>
#endif

namespace qv::sig {

#ifdef QV_HAVE_VECTORSCAN

struct header_search::impl {
    hs_database_t* database = nullptr;
    hs_scratch_t* scratch = nullptr;
    std::vector<uint32_t> lengths;
    ~impl() {
        if (scratch) hs_free_scratch(scratch);
        if (database) hs_free_database(database);
    }
};

namespace {

struct match_sink {
    const std::vector<uint32_t>* lengths;
    std::vector<header_search::hit>* out;
    size_t before;
};

int on_match(unsigned int id, unsigned long long, unsigned long long to, unsigned int, void* context) {
    auto* sink = static_cast<match_sink*>(context);
    // Headers have a fixed length, so the end gives the start.
    const uint64_t start = to - (*sink->lengths)[id];
    if (start < sink->before) sink->out->push_back({uint32_t(start), id});
    return 0;
}

}  // namespace

header_search::header_search(const std::vector<const byte_pattern*>& headers) {
    if (headers.empty() || hs_valid_platform() != HS_SUCCESS) return;
    std::vector<std::string> expressions;
    std::vector<unsigned> flags, ids;
    auto built = std::make_unique<impl>();
    for (size_t h = 0; h < headers.size(); ++h) {
        const byte_pattern& p = *headers[h];
        if (p.empty() || p.anchor() >= p.size()) return;  // nothing fixed to look for
        std::string e;
        for (size_t i = 0; i < p.size(); ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", p.byte(i));
            e += p.is_wild(i) ? std::string(".") : std::string(hex);
        }
        expressions.push_back(std::move(e));
        flags.push_back(HS_FLAG_DOTALL);
        ids.push_back(unsigned(h));
        built->lengths.push_back(uint32_t(p.size()));
    }
    std::vector<const char*> texts;
    for (const auto& e : expressions) texts.push_back(e.c_str());
    hs_compile_error_t* error = nullptr;
    if (hs_compile_multi(texts.data(), flags.data(), ids.data(), unsigned(texts.size()), HS_MODE_BLOCK, nullptr,
                         &built->database, &error) != HS_SUCCESS) {
        if (error) hs_free_compile_error(error);
        built->database = nullptr;
        return;
    }
    if (hs_alloc_scratch(built->database, &built->scratch) != HS_SUCCESS) return;
    impl_ = std::move(built);
}

header_search::~header_search() = default;

bool header_search::ready() const { return impl_ != nullptr; }

bool header_search::find_all(const uint8_t* data, size_t size, size_t before, std::vector<hit>& out) {
    out.clear();
    if (!impl_ || size > 0xFFFFFFFFu) return false;
    match_sink sink{&impl_->lengths, &out, before};
    if (hs_scan(impl_->database, reinterpret_cast<const char*>(data), unsigned(size), 0, impl_->scratch, on_match,
                &sink) != HS_SUCCESS)
        return false;
    // Reported by end; headers of different lengths may end out of start order.
    if (!std::is_sorted(out.begin(), out.end())) std::sort(out.begin(), out.end());
    return true;
}

#else

struct header_search::impl {};
header_search::header_search(const std::vector<const byte_pattern*>&) {}
header_search::~header_search() = default;
bool header_search::ready() const { return false; }
bool header_search::find_all(const uint8_t*, size_t, size_t, std::vector<hit>& out) {
    out.clear();
    return false;
}

#endif

}  // namespace qv::sig

#pragma once
// What a ZIP is by what it holds: an OpenDocument file or EPUB by its stored
// "mimetype" member, an Office Open XML file by its main part's name.

#include <string_view>
#include <utility>

namespace qv::sig {

// "odt", "ods", "odp", "odg" or "epub" for the text of a mimetype member; empty otherwise.
inline std::string_view zip_mimetype_kind(std::string_view mimetype) {
    static constexpr std::pair<std::string_view, std::string_view> kinds[] = {
        {"application/vnd.oasis.opendocument.text", "odt"},
        {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
        {"application/vnd.oasis.opendocument.presentation", "odp"},
        {"application/vnd.oasis.opendocument.graphics", "odg"},
        {"application/epub+zip", "epub"},
    };
    for (const auto& [mime, kind] : kinds)
        if (mimetype == mime) return kind;
    return {};
}

// "docx", "xlsx" or "pptx" for the name of an Office Open XML main part; empty otherwise.
inline std::string_view zip_member_kind(std::string_view name) {
    if (name == "word/document.xml") return "docx";
    if (name == "xl/workbook.xml") return "xlsx";
    if (name == "ppt/presentation.xml") return "pptx";
    return {};
}

}  // namespace qv::sig

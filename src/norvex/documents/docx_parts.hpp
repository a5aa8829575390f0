#pragma once
// Names shared by the Word writer and the merger: namespaces, relationship types and the
// content types of the package parts.
#include <string>
#include <string_view>

namespace norvex::docx {

inline constexpr std::string_view kXmlDecl =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
inline constexpr std::string_view kNsW =
    "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
inline constexpr std::string_view kNsR =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kRelTypeBase =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
inline constexpr std::string_view kMainContentType =
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml";
inline constexpr std::string_view kNumberingContentType =
    "application/vnd.openxmlformats-officedocument.wordprocessingml.numbering+xml";

// The root element of document.xml and footers, with every namespace their bodies use.
inline constexpr std::string_view kBodyNamespaces =
    " xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\""
    " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\""
    " xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\""
    " xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\""
    " xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\"";

// [Content_Types].xml for the given Override entries (already formatted).
std::string content_types(const std::string& overrides);

// A paragraph holding only a page break.
inline constexpr std::string_view kPageBreakRun = "<w:r><w:br w:type=\"page\"/></w:r>";

}  // namespace norvex::docx

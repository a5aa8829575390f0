#pragma once
// The HTML link through which a download is offered,
//   <a class="norvex-download" download="NAME" href="HREF" style="...">ICON Download LABEL:
//   NAME</a>,
// with the bytes in a data URL for a notebook, or pointing to a front end's own copy of the
// file (a transcript's folder, a web page's file store).
#include <string>
#include <string_view>

#include "norvex/host/host.hpp"

namespace norvex {

// The link with each part as it goes into the markup (already escaped).
std::string download_link_html(std::string_view name_html, std::string_view href_html,
                               std::string_view text_html);
// "ICON Download LABEL: NAME": the icon after the file's type, its label escaped ("file"
// when it has none), the name as given.
std::string download_link_text(const Download& file, std::string_view name_html);
// The link that carries the file itself, as a base64 data URL.
std::string data_download_link(const Download& file);

// A download's name as a plain file name inside a folder: any path part dropped, control
// characters replaced, never hidden, never empty.
std::string plain_file_name(std::string name);

// The file extension for an image MIME type (".img" for one we do not know).
const char* image_extension(const std::string& mime);

}  // namespace norvex

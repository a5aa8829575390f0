#include "norvex/documents/ooxml.hpp"

#include <zip.h>

#include <cstring>
#include <memory>

#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"

namespace norvex::ooxml {

namespace {

uint32_t be32(std::string_view b, size_t i) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[i])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[i + 1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[i + 2])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[i + 3]));
}
uint32_t be16(std::string_view b, size_t i) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[i])) << 8 |
         static_cast<unsigned char>(b[i + 1]);
}
uint32_t le16(std::string_view b, size_t i) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[i + 1])) << 8 |
         static_cast<unsigned char>(b[i]);
}

std::optional<ImageInfo> probe_png(std::string_view b) {
  static const char sig[] = "\x89PNG\r\n\x1a\n";
  if (b.size() < 8 + 25 || b.substr(0, 8) != std::string_view(sig, 8)) return std::nullopt;
  ImageInfo info{"png", "image/png"};
  bool header = false, data = false;
  size_t pos = 8;
  while (pos + 12 <= b.size()) {
    uint32_t len = be32(b, pos);
    std::string_view type = b.substr(pos + 4, 4);
    if (len > b.size() - pos - 12) return std::nullopt;  // chunk runs past the end
    size_t body = pos + 8;
    if (type == "IHDR" && len >= 8) {
      info.width = be32(b, body);
      info.height = be32(b, body + 4);
      header = true;
    } else if (type == "pHYs" && len >= 9 && b[body + 8] == 1) {
      // Pixels per metre; only trusted within a plausible range.
      double x = be32(b, body) * 0.0254, y = be32(b, body + 4) * 0.0254;
      if (x >= 36 && x <= 2400 && y >= 36 && y <= 2400) info.dpi_x = x, info.dpi_y = y;
    } else if (type == "IDAT") {
      data = true;
    } else if (type == "IEND") {
      if (!header || !data || info.width == 0 || info.height == 0) return std::nullopt;
      return info;
    }
    pos = body + len + 4;
  }
  return std::nullopt;  // no IEND: truncated
}

std::optional<ImageInfo> probe_jpeg(std::string_view b) {
  if (b.size() < 4 || static_cast<unsigned char>(b[0]) != 0xFF ||
      static_cast<unsigned char>(b[1]) != 0xD8)
    return std::nullopt;
  ImageInfo info{"jpeg", "image/jpeg"};
  size_t pos = 2;
  while (pos + 4 <= b.size()) {
    if (static_cast<unsigned char>(b[pos]) != 0xFF) return std::nullopt;
    unsigned char marker = static_cast<unsigned char>(b[pos + 1]);
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      pos += 2;
      continue;
    }
    uint32_t len = be16(b, pos + 2);
    if (len < 2 || pos + 2 + len > b.size()) return std::nullopt;
    size_t seg = pos + 4;
    if (marker == 0xE0 && len >= 14 && b.substr(seg, 5) == std::string_view("JFIF\0", 5)) {
      unsigned units = static_cast<unsigned char>(b[seg + 7]);
      double x = be16(b, seg + 8), y = be16(b, seg + 10);
      if (units == 2) x *= 2.54, y *= 2.54;
      if (units != 0 && x >= 36 && x <= 2400 && y >= 36 && y <= 2400)
        info.dpi_x = x, info.dpi_y = y;
    }
    bool sof =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof && len >= 7) {
      info.height = be16(b, seg + 1);
      info.width = be16(b, seg + 3);
      if (info.width == 0 || info.height == 0) return std::nullopt;
      return info;
    }
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // image data before a size
    pos += 2 + len;
  }
  return std::nullopt;
}

std::optional<ImageInfo> probe_gif(std::string_view b) {
  if (b.size() < 14 || (b.substr(0, 6) != "GIF87a" && b.substr(0, 6) != "GIF89a"))
    return std::nullopt;
  ImageInfo info{"gif", "image/gif"};
  info.width = le16(b, 6);
  info.height = le16(b, 8);
  if (info.width == 0 || info.height == 0) return std::nullopt;
  return info;
}

struct ZipCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    size_t n = decode_utf8_at(text, i, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

size_t utf16_length(std::string_view text) {
  size_t units = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    size_t n = decode_utf8_at(text, i, cp);
    if (n == 0) n = 1, cp = 0xFFFD;
    units += cp > 0xFFFF ? 2 : 1;
    i += n;
  }
  return units;
}

std::string utf16_prefix(std::string_view text, size_t units) {
  size_t used = 0, i = 0;
  while (i < text.size()) {
    char32_t cp;
    size_t n = decode_utf8_at(text, i, cp);
    if (n == 0) n = 1, cp = 0xFFFD;
    size_t w = cp > 0xFFFF ? 2 : 1;
    if (used + w > units) break;
    used += w;
    i += n;
  }
  return std::string(text.substr(0, i));
}

std::string utf8_prefix(std::string_view text, size_t bytes) {
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    size_t n = decode_utf8_at(text, i, cp);
    if (n == 0) n = 1;
    if (i + n > bytes) break;
    i += n;
  }
  return std::string(text.substr(0, i));
}

std::string zip_write(const std::vector<ZipEntry>& entries) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
  if (!target) throw RuntimeError("cannot create an in-memory archive");
  zip_t* archive = zip_open_from_source(target, ZIP_TRUNCATE, &error);
  if (!archive) {
    zip_source_free(target);
    throw RuntimeError(std::string("cannot create an in-memory archive: ") +
                       zip_error_strerror(&error));
  }
  zip_source_keep(target);  // the bytes are read back after zip_close
  auto fail = [&](const std::string& what) {
    std::string message = what + ": " + zip_strerror(archive);
    zip_discard(archive);
    zip_source_free(target);
    throw RuntimeError(message);
  };
  for (const auto& e : entries) {
    zip_source_t* s = zip_source_buffer(archive, e.data.data(), e.data.size(), 0);
    if (!s) fail("cannot add " + e.name);
    zip_int64_t index = zip_file_add(archive, e.name.c_str(), s, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(s);
      fail("cannot add " + e.name);
    }
    bool compressed_media = e.name.ends_with(".png") || e.name.ends_with(".jpeg") ||
                            e.name.ends_with(".jpg") || e.name.ends_with(".gif");
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                             compressed_media ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
  }
  if (zip_close(archive) != 0) fail("cannot write the archive");

  std::string out;
  zip_stat_t st;
  if (zip_source_stat(target, &st) == 0 && zip_source_open(target) == 0) {
    out.resize(st.size);
    zip_int64_t got = zip_source_read(target, out.data(), st.size);
    zip_source_close(target);
    if (got < 0 || static_cast<zip_uint64_t>(got) != st.size) out.clear();
  }
  zip_source_free(target);
  if (out.empty()) throw RuntimeError("cannot read back the in-memory archive");
  return out;
}

std::vector<ZipEntry> zip_read(const std::string& bytes) {
  // Parts of a document are small; anything claiming more is damaged or hostile.
  constexpr zip_uint64_t kMaxEntry = 512ull << 20;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  if (!src) throw ValueError("not a ZIP archive");
  zip_t* raw = zip_open_from_source(src, ZIP_RDONLY, &error);
  if (!raw) {
    zip_source_free(src);
    throw ValueError(std::string("not a ZIP archive (") + zip_error_strerror(&error) + ")");
  }
  std::unique_ptr<zip_t, ZipCloser> archive(raw);
  std::vector<ZipEntry> out;
  zip_int64_t n = zip_get_num_entries(raw, 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    if (zip_stat_index(raw, i, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME) ||
        !(st.valid & ZIP_STAT_SIZE))
      throw ValueError("damaged ZIP archive (entry " + std::to_string(i) + ")");
    if (st.size > kMaxEntry) throw ValueError(std::string("ZIP entry too large: ") + st.name);
    zip_file_t* f = zip_fopen_index(raw, i, 0);
    if (!f) throw ValueError(std::string("cannot read ZIP entry ") + st.name);
    ZipEntry e{st.name, std::string(st.size, '\0')};
    zip_int64_t got = st.size ? zip_fread(f, e.data.data(), st.size) : 0;
    zip_fclose(f);
    if (got < 0 || static_cast<zip_uint64_t>(got) != st.size)
      throw ValueError(std::string("damaged ZIP entry ") + st.name);
    out.push_back(std::move(e));
  }
  return out;
}

std::optional<ImageInfo> probe_image(std::string_view bytes) {
  if (auto p = probe_png(bytes)) return p;
  if (auto j = probe_jpeg(bytes)) return j;
  return probe_gif(bytes);
}

}  // namespace norvex::ooxml

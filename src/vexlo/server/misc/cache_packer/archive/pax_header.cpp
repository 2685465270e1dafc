#include "pax_header.hpp"

#include <algorithm>
#include <cstring>

namespace vexlo::archive {

namespace {

constexpr std::size_t kNameField = 100;
constexpr std::size_t kPrefixField = 155;
constexpr std::size_t kUserField = 32;

// ustar header field offsets.
constexpr std::size_t kName = 0, kMode = 100, kUid = 108, kGid = 116, kSize = 124, kMtime = 136,
                      kChksum = 148, kTypeflag = 156, kLinkname = 157, kMagic = 257, kVersion = 263,
                      kUname = 265, kGname = 297, kDevmajor = 329, kDevminor = 337, kPrefix = 345;

// Whether `value` fits an octal field of `width` bytes (digits plus a NUL).
bool fits_octal(std::uint64_t value, std::size_t width) {
  const unsigned bits = static_cast<unsigned>(3 * (width - 1));
  return bits >= 64 || value < (std::uint64_t{1} << bits);
}

void put_octal(char* field, std::size_t width, std::uint64_t value) {
  // Zero-padded digits, NUL-terminated, as ustar readers expect.
  field[width - 1] = '\0';
  for (std::size_t i = width - 1; i > 0; --i) {
    field[i - 1] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
}

void put_text(char* field, std::size_t width, std::string_view text) {
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

// A stand-in for a name that goes in the pax header: readers that ignore pax
// still get something printable.
void put_fallback(char* field, std::size_t width, std::string_view text) {
  const std::size_t n = std::min(width, text.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    field[i] = c < 0x80 ? static_cast<char>(c) : '_';
  }
}

void finish_checksum(char* block) {
  std::memset(block + kChksum, ' ', 8);
  unsigned sum = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    sum += static_cast<unsigned char>(block[i]);
  }
  put_octal(block + kChksum, 7, sum);
  block[kChksum + 7] = ' ';
}

void start_block(char* block, char type) {
  std::memcpy(block + kMagic, "ustar", 6);
  std::memcpy(block + kVersion, "00", 2);
  block[kTypeflag] = type;
}

// Finds where to split `name` into ustar prefix and name fields; npos if it
// cannot be split.
std::size_t split_point(std::string_view name) {
  if (name.size() <= kNameField || name.size() > kPrefixField + 1 + kNameField) {
    return std::string_view::npos;
  }
  // The earliest '/' that leaves at most 100 bytes after it.
  std::size_t pos = name.find('/', name.size() - kNameField - 1);
  if (pos == std::string_view::npos || pos == 0 || pos > kPrefixField || pos + 1 == name.size()) {
    return std::string_view::npos;
  }
  return pos;
}

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

bool is_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t extra;
    std::uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
      cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
      cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra) {
      return false;
    }
    for (std::size_t i = 1; i <= extra; ++i) {
      if ((p[i] & 0xc0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (p[i] & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) {
      return false;
    }
    p += extra + 1;
  }
  return true;
}

// One value of a member's header. It goes in its ustar field when the field
// can hold it; otherwise in a pax record under `key`, and the ustar field gets
// a stand-in: a printable copy of the name, or 0.
struct Value {
  std::string_view key;
  std::size_t offset;  // its ustar field
  std::size_t width;
  bool fits;
  bool is_text;
  std::string_view text;  // a name, or
  std::uint64_t number;   // a number, written in octal
  std::string decimal;    // the number as its pax record states it
};

Value text_value(std::string_view key, std::size_t offset, std::size_t width, std::string_view text,
                 bool fits) {
  return {key, offset, width, fits, true, text, 0, {}};
}

// Whether `text` fits a ustar text field that holds at most `longest` bytes.
bool fits_text(std::string_view text, std::size_t longest) {
  return text.size() <= longest && is_ascii(text);
}

Value number_value(std::string_view key, std::size_t offset, std::size_t width, std::uint64_t number) {
  const bool fits = fits_octal(number, width);
  return {key, offset, width, fits, false, {}, number, fits ? std::string() : std::to_string(number)};
}

// A time before 1970 has no octal form; its record keeps the sign.
Value time_value(std::string_view key, std::size_t offset, std::size_t width, std::int64_t seconds) {
  const bool fits = seconds >= 0 && fits_octal(static_cast<std::uint64_t>(seconds), width);
  return {key,
          offset,
          width,
          fits,
          false,
          {},
          static_cast<std::uint64_t>(seconds),
          fits ? std::string() : std::to_string(seconds)};
}

void put_value(char* block, const Value& v) {
  char* field = block + v.offset;
  if (!v.is_text)
    put_octal(field, v.width, v.fits ? v.number : 0);
  else if (v.fits)
    put_text(field, v.width, v.text);
  else
    put_fallback(field, v.width, v.text);
}

}  // namespace

void HeaderEncoder::add_record(std::string_view key, std::string_view value) {
  // "<length> <key>=<value>\n", where the length counts its own digits.
  // The body is everything but the digits: key, value, ' ', '=' and '\n'. A
  // 90-byte path has a body of 4 + 90 + 3 = 97, and 97 + 2 digits = 99 holds:
  // "99 path=...\n". A 91-byte path has a body of 98; two digits would make
  // 100, which takes three, so the record is 98 + 3 = 101 bytes long. No path
  // record is 100 bytes long.
  const std::size_t body = key.size() + value.size() + 3;
  std::size_t length = body + 1;
  while (body + std::to_string(length).size() != length) {
    ++length;
  }
  records_ += std::to_string(length);
  records_ += ' ';
  records_.append(key.data(), key.size());
  records_ += '=';
  records_.append(value.data(), value.size());
  records_ += '\n';
}

void HeaderEncoder::encode(const MemberInfo& m, std::string& out) {
  // A long ASCII path that splits at a '/' fits the prefix and name fields.
  const std::size_t split = split_point(m.name);
  const bool name_fits = is_ascii(m.name) && (m.name.size() <= kNameField || split != std::string_view::npos);
  const bool name_split = name_fits && m.name.size() > kNameField;

  // In the order of their pax records.
  const Value values[] = {
      text_value("path", kName, kNameField, name_split ? m.name.substr(split + 1) : m.name, name_fits),
      text_value("linkpath", kLinkname, kNameField, m.linkname, fits_text(m.linkname, kNameField)),
      number_value("size", kSize, 12, m.size),
      number_value("uid", kUid, 8, m.uid),
      number_value("gid", kGid, 8, m.gid),
      time_value("mtime", kMtime, 12, m.mtime),
      // User and group names end with a NUL inside their field.
      text_value("uname", kUname, kUserField, m.uname, fits_text(m.uname, kUserField - 1)),
      text_value("gname", kGname, kUserField, m.gname, fits_text(m.gname, kUserField - 1)),
  };

  records_.clear();
  bool binary = false;
  for (const Value& v : values) {
    if (v.fits)
      continue;
    binary |= v.is_text && !is_utf8(v.text);
    add_record(v.key, v.is_text ? v.text : std::string_view(v.decimal));
  }
  if (binary) {
    // Readers apply hdrcharset to the records after it, so it goes first.
    std::string rest = std::move(records_);
    records_.clear();
    add_record("hdrcharset", "BINARY");
    records_ += rest;
  }

  const std::size_t pax_blocks = records_.empty() ? 0 : 1 + (records_.size() + kBlock - 1) / kBlock;
  out.assign((pax_blocks + 1) * kBlock, '\0');
  char* block = &out[0];

  if (pax_blocks > 0) {
    put_text(block + kName, kNameField, "././@PaxHeader");
    put_octal(block + kMode, 8, 0644);
    put_octal(block + kUid, 8, 0);
    put_octal(block + kGid, 8, 0);
    put_octal(block + kSize, 12, records_.size());
    put_octal(block + kMtime, 12, 0);
    put_octal(block + kDevmajor, 8, 0);
    put_octal(block + kDevminor, 8, 0);
    start_block(block, 'x');
    finish_checksum(block);
    std::memcpy(block + kBlock, records_.data(), records_.size());
    block += pax_blocks * kBlock;
  }

  for (const Value& v : values)
    put_value(block, v);
  if (name_split)
    put_text(block + kPrefix, kPrefixField, m.name.substr(0, split));
  put_octal(block + kMode, 8, m.mode & 07777);
  put_octal(block + kDevmajor, 8, m.devmajor);
  put_octal(block + kDevminor, 8, m.devminor);
  start_block(block, m.type);
  finish_checksum(block);
}

}  // namespace vexlo::archive

// convert.cc — convert_cfmt and the rewriting of conversion texts for the C
// library's scan. A conversion text comes from the command line, so it never
// reaches sscanf as written: every directive is parsed here and emitted anew in
// a form whose store fits its destination (at most three, all of known size).
#include "unpack/convert.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "charcode/charcode.h"
#include "driver/locale_units.h"
#include "unpack/work_text.h"

namespace {

// Rewritten texts of the conversion texts seen last: a format's text is the
// same for every piece, so it is parsed once, not per piece.
struct ScanTextEntry {
  bool used = false;
  std::string conversion;  // the format's text
  int32_t cfmt_class = 0;  // and its class
  std::string scan;        // scan_text_rewrite of both
  long widest_text = 0;    // the largest width on a string, set or character
  char integer = 0;        // the conversion of a text that is one plain integer: see scan_integer
  int integer_bytes = 0;   // and the bytes its store fills
};

// Widths up to this many elements are given room in the destinations;
// larger ones are cut to what the text can give.
constexpr long kWidthRoom = 4096;

std::string rewrite(const char* conversion, int32_t cfmt_class, long text_width_limit,
                    long* widest_text);
const ScanTextEntry& scan_text_for(const char* conversion, int32_t cfmt_class);
void plain_integer_of(ScanTextEntry& entry);
std::size_t destination_size(std::size_t elements);
void write_value(const char* slot, std::size_t room, int32_t cfmt_class, OutputStream& out);
void store_integer(uint64_t value, int bytes, char* slot);

}  // namespace

std::string scan_text_rewrite(const char* conversion, int32_t cfmt_class) {
  return rewrite(conversion, cfmt_class, INT_MAX, nullptr);
}

namespace {

template <unsigned Base>
unsigned digit_value(unsigned char c) {
  unsigned digit = static_cast<unsigned>(c - '0');
  if (Base == 16 && digit >= 10) {
    unsigned letter = static_cast<unsigned>((c | 0x20) - 'a');
    digit = letter < 6 ? letter + 10 : Base;
  }
  return digit;
}

// Reads the digits of the base at p into magnitude (0 on entry); one that
// would pass the limit sets overflow instead. The base is a constant, so a
// digit costs no division.
template <unsigned Base>
void read_digits(const unsigned char* p, uint64_t limit, uint64_t& magnitude, bool& overflow,
                 bool& digits) {
  // So many digits stay below 2^60, under the lowest limit (INT64_MAX):
  // they need no check.
  constexpr int kUnchecked = Base == 10 ? 18 : Base == 16 ? 15 : 20;
  for (int i = 0; i < kUnchecked; ++i, ++p) {
    unsigned digit = digit_value<Base>(*p);
    if (digit >= Base) return;
    digits = true;
    magnitude = magnitude * Base + digit;
  }
  constexpr uint64_t kSafe = UINT64_MAX / Base - 1;  // below it, a digit cannot wrap
  for (;; ++p) {
    unsigned digit = digit_value<Base>(*p);
    if (digit >= Base) return;
    uint64_t next = magnitude * Base + digit;
    if (magnitude >= kSafe || next > limit) {
      // The exact check, only near the top of the range; when it passes,
      // `next` did not wrap.
      if (magnitude > (limit - digit) / Base) {
        overflow = true;
        continue;
      }
    }
    magnitude = next;
  }
}

}  // namespace

bool scan_integer(const char* text, char conversion, int& assigned, uint64_t& value) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  if (*p == 0) {
    assigned = EOF;  // the text ended before the conversion
    return true;
  }
  if (*p >= 0x80) return false;  // the locale decides what else is white space
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const bool is_signed = conversion == 'd' || conversion == 'i';
  unsigned base = conversion == 'x' ? 16 : conversion == 'o' ? 8 : conversion == 'i' ? 0 : 10;
  // A leading '0' is a digit; "0x" is then skipped where the base is 16 or
  // still open, and "0" alone makes an open base octal.
  bool digits = false;
  if (*p == '0') {
    digits = true;
    ++p;
    if ((*p | 0x20) == 'x' && (base == 0 || base == 16)) {
      base = 16;
      ++p;
    } else if (base == 0) {
      base = 8;
    }
  }
  if (base == 0) base = 10;
  // strtol's and strtoul's range: a magnitude beyond it is its nearest end.
  const uint64_t limit = !is_signed ? UINT64_MAX : negative ? uint64_t{1} << 63 : INT64_MAX;
  uint64_t magnitude = 0;
  bool overflow = false;
  if (base == 10) {
    read_digits<10>(p, limit, magnitude, overflow, digits);
  } else if (base == 16) {
    read_digits<16>(p, limit, magnitude, overflow, digits);
  } else {
    read_digits<8>(p, limit, magnitude, overflow, digits);
  }
  if (!digits) {
    assigned = 0;
    return true;
  }
  if (overflow) magnitude = limit;
  // strtoul negates what fits and leaves its overflow at the top.
  value = negative && !(overflow && !is_signed) ? ~magnitude + 1 : magnitude;
  assigned = 1;
  return true;
}

int convert_cfmt(char* work_text, const FieldFormat& format, StorageArea& area, OutputStream& out) {
  if (format.cfmt == nullptr) return 0;
  const ScanTextEntry& entry = scan_text_for(format.cfmt, format.cfmt_class);
  if (entry.integer != 0) {
    int assigned;
    uint64_t value;
    if (scan_integer(work_text, entry.integer, assigned, value)) {
      if (assigned == 1) {
        // Zeroed beyond the store, as the scan's slot is, and wide enough for
        // every way the class reads it.
        char slot[16] = {};
        store_integer(value, entry.integer_bytes, slot);
        write_value(slot, sizeof slot, format.cfmt_class, out);
      }
      return assigned;
    }
  }
  const std::size_t length = std::strlen(work_text);
  const long width_limit =
      static_cast<long>(length) + 1 > kWidthRoom ? static_cast<long>(length) + 1 : kWidthRoom;
  const char* scan_text = entry.scan.c_str();
  std::string cut_widths;  // only for widths beyond kWidthRoom and the text: rare
  if (entry.widest_text > width_limit) {
    cut_widths = rewrite(format.cfmt, format.cfmt_class, width_limit, nullptr);
    scan_text = cut_widths.c_str();
  }
  const long widest = std::min(entry.widest_text, width_limit);
  const std::size_t room = destination_size(
      static_cast<long>(length) > widest ? length : static_cast<std::size_t>(widest));
  pact_push(translate_pair, &work_text, nullptr, area);
  area_align(16, area);  // long double, the widest value a scan stores
  char* slot = static_cast<char*>(area_reserve(2 * room, area));
  pact_pop(area);
  char* scratch = slot + room;  // every destination after the first
  std::memset(slot, 0, room);
  int assigned = std::sscanf(work_text, scan_text, slot, scratch, scratch);
  if (assigned != 1) return assigned;
  write_value(slot, room, format.cfmt_class, out);
  return 1;
}

namespace {

// One directive of a conversion text as this system reads it: '%', an
// optional '*', an optional width, a size prefix, a conversion.
struct Directive {
  bool suppressed = false;          // "*": converted, never stored
  long width = 0;                   // 0 when none is given
  const char* size = "";            // size prefix for this library's sscanf
  char conversion = 0;              // conversion letter for it; '%' for a literal percent sign
  const char* set_begin = nullptr;  // "%[": from '[' through the closing ']'
  const char* set_end = nullptr;
};

enum class Prefix { NONE, H, HH, L, LL, LONG_DOUBLE, WIDE_INTEGER };

// Reads a size prefix at p; returns the text after it.
const char* read_prefix(const char* p, Prefix& prefix) {
  std::size_t length = 1;
  switch (*p) {
    case 'h':
      prefix = p[1] == 'h' ? Prefix::HH : Prefix::H;
      length = p[1] == 'h' ? 2 : 1;
      break;
    case 'l':
      prefix = p[1] == 'l' ? Prefix::LL : Prefix::L;
      length = p[1] == 'l' ? 2 : 1;
      break;
    case 'L':
    case 'q':
      prefix = Prefix::LONG_DOUBLE;
      break;
    case 'j':
    case 'z':
    case 't':
      prefix = Prefix::WIDE_INTEGER;
      break;
    default:
      prefix = Prefix::NONE;
      length = 0;
      break;
  }
  return p + length;
}

// Integers keep the sizes the conversion texts were written for: "l" is 32
// bits, "ll" and the other wide prefixes 64.
const char* integer_size(Prefix prefix) {
  switch (prefix) {
    case Prefix::HH:
      return "hh";
    case Prefix::H:
      return "h";
    case Prefix::NONE:
    case Prefix::L:
      return "";
    default:
      return "ll";
  }
}

const char* float_size(Prefix prefix) {
  switch (prefix) {
    case Prefix::NONE:
    case Prefix::H:
    case Prefix::HH:
      return "";
    case Prefix::LL:
    case Prefix::LONG_DOUBLE:
      return "L";
    default:
      return "l";
  }
}

bool is_wide(int32_t size_bits) {
  return (size_bits & (CFMT_SIZE_H | CFMT_SIZE_L)) == CFMT_SIZE_L;
}

bool is_text_conversion(char conversion) {
  return conversion == 's' || conversion == 'c' || conversion == '[';
}

// Parses the directive at p ('%'); returns the text after it, or null when it
// is not a directive this system knows (the scan then ends before it, as the
// library's own scan ends at a conversion it does not know).
const char* parse_directive(const char* p, Directive& d) {
  ++p;
  if (*p == '*') {
    d.suppressed = true;
    ++p;
  }
  while (*p >= '0' && *p <= '9') {
    long digit = *p - '0';
    d.width = d.width > (INT_MAX - digit) / 10 ? INT_MAX : d.width * 10 + digit;
    ++p;
  }
  Prefix prefix;
  p = read_prefix(p, prefix);
  char letter = *p;
  // String and character forms: the size bits decide narrow or wide as the
  // conversion class does ("S", "C" and "w" add the bit of "l"; with "h" as
  // well both bits are set, which is narrow).
  int size_bits = prefix == Prefix::H ? CFMT_SIZE_H : prefix == Prefix::L ? CFMT_SIZE_L : 0;
  if (letter == 'w' && (p[1] == 's' || p[1] == 'c')) {
    ++p;
    letter = static_cast<char>(*p == 's' ? 'S' : 'C');
  }
  switch (letter) {
    case '%':
      d.conversion = '%';
      return p + 1;
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
    case 'n':
      d.size = integer_size(prefix);
      d.conversion = letter == 'X' ? 'x' : letter;
      return p + 1;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      // All parse alike; 'f' also keeps "%a" from being read as the
      // allocating flag before a following literal 's' or '['.
      d.size = float_size(prefix);
      d.conversion = 'f';
      return p + 1;
    case 'p':
      d.conversion = 'p';
      return p + 1;
    default:
      break;
  }
  if (prefix != Prefix::NONE && prefix != Prefix::H && prefix != Prefix::L) return nullptr;
  switch (letter) {
    case 'S':
    case 'C':
      size_bits |= CFMT_SIZE_L;
      d.conversion = static_cast<char>(letter == 'S' ? 's' : 'c');
      break;
    case 's':
    case 'c':
      d.conversion = letter;
      break;
    case '[': {
      const char* q = p + 1;
      if (*q == '^') ++q;
      if (*q == ']') ++q;
      while (*q != '\0' && *q != ']') ++q;
      if (*q == '\0') return nullptr;
      d.conversion = '[';
      d.set_begin = p;
      d.set_end = q + 1;
      p = q;
      break;
    }
    default:
      return nullptr;
  }
  d.size = is_wide(size_bits) ? "l" : "";
  return p + 1;
}

// A width on a string, set or character conversion is taken by the
// sanitizers as the room the store may fill (width + 1 elements), so
// widths are cut to `text_width_limit`: a width beyond what is left of the
// text reads the same characters.
void emit_directive(const Directive& d, long text_width_limit, std::string& scan) {
  scan += '%';
  if (d.conversion == '%') {
    scan += '%';
    return;
  }
  if (d.suppressed) scan += '*';
  long width = d.width;
  if (is_text_conversion(d.conversion) && width > text_width_limit) width = text_width_limit;
  if (width > 0 && d.conversion != 'n') scan += std::to_string(width);
  scan += d.size;
  if (d.conversion == '[') {
    scan.append(d.set_begin, d.set_end);
  } else {
    scan += d.conversion;
  }
}

// Bytes of the locale character at p (1 for a byte that begins none), so a
// literal character is copied whole, as the library's scan steps over it.
std::size_t literal_length(const char* p) {
  if (static_cast<unsigned char>(*p) < 0x80) return 1;
  std::size_t longest = static_cast<std::size_t>(locale_max_length());
  std::size_t available = 0;
  while (available < longest && p[available] != '\0') ++available;
  char32_t code_point;
  int length = locale_decode_char(p, available, code_point);
  return length > 0 ? static_cast<std::size_t>(length) : 1;
}

// scan_text_rewrite with the widths of string, set and character
// conversions cut to text_width_limit; the widest one given stored in
// *widest_text.
std::string rewrite(const char* conversion, int32_t cfmt_class, long text_width_limit,
                    long* widest_text) {
  std::string scan;
  int destinations = 0;  // assigning directives emitted: the slot, then scratch
  int counted = 0;       // of them, those the scan counts (all but "%n")
  const char* p = conversion;
  while (*p != '\0') {
    if (*p != '%') {
      std::size_t length = literal_length(p);
      scan.append(p, length);
      p += length;
      continue;
    }
    Directive d;
    const char* next = parse_directive(p, d);
    if (next == nullptr) break;
    p = next;
    if (d.conversion == 'n') {
      // "%n" reads nothing and is not counted: only as the first destination
      // does its store matter (it fills the slot).
      if (d.suppressed || destinations > 0) continue;
      ++destinations;
    } else if (d.conversion != '%' && !d.suppressed) {
      // The slot is read as the class says: a string or character stored
      // there is narrow or wide as the class's size bits are.
      int32_t kind = cfmt_class & 63;
      if (destinations == 0 && is_text_conversion(d.conversion) &&
          (kind == CFMT_STRING || kind == CFMT_CHAR)) {
        d.size = is_wide(cfmt_class) ? "l" : "";
      }
      ++destinations;
      ++counted;
    }
    if (is_text_conversion(d.conversion) && widest_text != nullptr && d.width > *widest_text) {
      *widest_text = d.width;
    }
    emit_directive(d, text_width_limit, scan);
    // Whether more than one value is assigned is all the caller asks.
    if (counted == 2) break;
  }
  return scan;
}

constexpr int kScanTextEntries = 4;
ScanTextEntry scan_texts[kScanTextEntries];
int next_scan_text = 0;

const ScanTextEntry& scan_text_for(const char* conversion, int32_t cfmt_class) {
  for (const ScanTextEntry& entry : scan_texts) {
    if (entry.used && entry.cfmt_class == cfmt_class && entry.conversion == conversion) {
      return entry;
    }
  }
  ScanTextEntry& entry = scan_texts[next_scan_text];
  next_scan_text = (next_scan_text + 1) % kScanTextEntries;
  entry.used = true;
  entry.conversion = conversion;
  entry.cfmt_class = cfmt_class;
  entry.widest_text = 0;
  entry.scan = rewrite(conversion, cfmt_class, INT_MAX, &entry.widest_text);
  plain_integer_of(entry);
  return entry;
}

// A scan text that is one integer conversion with no width: "%d", "%hhx",
// "%llo" and the like, as rewrite emits them.
void plain_integer_of(ScanTextEntry& entry) {
  entry.integer = 0;
  const std::string& scan = entry.scan;
  if (scan.size() < 2 || scan[0] != '%') return;
  const std::string size = scan.substr(1, scan.size() - 2);
  const char conversion = scan.back();
  const int bytes = size == "" ? 4 : size == "h" ? 2 : size == "hh" ? 1 : size == "ll" ? 8 : 0;
  if (bytes == 0 || std::strchr("diuxo", conversion) == nullptr) return;
  entry.integer = conversion;
  entry.integer_bytes = bytes;
}

// The store the scan makes: the value's low bytes, in the host's order.
void store_integer(uint64_t value, int bytes, char* slot) {
  if (bytes == 1) {
    uint8_t narrow = static_cast<uint8_t>(value);
    std::memcpy(slot, &narrow, 1);
  } else if (bytes == 2) {
    uint16_t narrow = static_cast<uint16_t>(value);
    std::memcpy(slot, &narrow, 2);
  } else if (bytes == 4) {
    uint32_t narrow = static_cast<uint32_t>(value);
    std::memcpy(slot, &narrow, 4);
  } else {
    std::memcpy(slot, &value, 8);
  }
}

// Room for any value a directive can store when it may take `elements`
// elements: a string or a run of characters holds at most one element per
// byte of text (or its width), plus the terminator, an element at most a
// 32-bit wchar_t; a number at most 16 bytes.
std::size_t destination_size(std::size_t elements) {
  std::size_t bytes = 4 * (elements + 1) + 16;
  return (bytes + 15) & ~static_cast<std::size_t>(15);
}

template <class T>
T load(const char* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// The units of one stored wide character: a character above U+FFFF is split
// into its surrogate pair; what no unit can hold becomes U+FFFD.
int units_of_wide(uint32_t wide, Unit units[2]) {
  if (wide > 0x10FFFF) wide = 0xFFFD;
  return units_from_code_point(wide, units);
}

void put_wide_text(const char* slot, std::size_t room, OutputStream& out) {
  Unit units[256];
  std::size_t used = 0;
  for (std::size_t offset = 0; offset + 4 <= room; offset += 4) {
    uint32_t wide = load<uint32_t>(slot + offset);
    if (wide == 0) break;
    if (used + 2 > sizeof units / sizeof units[0]) {
      out_putunits(units, used, out);
      used = 0;
    }
    used += static_cast<std::size_t>(units_of_wide(wide, units + used));
  }
  out_putunits(units, used, out);
}

// Writes the value in the slot the way the conversion class reads it.
void write_value(const char* slot, std::size_t room, int32_t cfmt_class, OutputStream& out) {
  const bool narrow = (cfmt_class & CFMT_SIZE_H) != 0;
  const bool wide = (cfmt_class & (CFMT_SIZE_H | CFMT_SIZE_L)) == CFMT_SIZE_L;
  switch (cfmt_class & 63) {
    case CFMT_SIGNED:
      out_putnum(narrow ? load<int16_t>(slot) : load<int32_t>(slot), out);
      break;
    case CFMT_UNSIGNED:
      out_putnum(narrow ? load<uint16_t>(slot) : load<uint32_t>(slot), out);
      break;
    case CFMT_FLOAT:
      out_putnum((cfmt_class & CFMT_SIZE_L) != 0 ? load<double>(slot) : load<float>(slot), out);
      break;
    case CFMT_STRING:
      if (wide) {
        put_wide_text(slot, room, out);
      } else {
        put_narrow_text(slot, room, out);
      }
      break;
    case CFMT_CHAR:
      if (wide) {
        Unit units[2];
        units_of_wide(load<uint32_t>(slot), units);
        out_putnum(units[0], out);
      } else {
        out_putnum(static_cast<unsigned char>(slot[0]), out);
      }
      break;
    default:  // no recognised conversion: whatever it stored, as a narrow string
      put_narrow_text(slot, room, out);
      break;
  }
}

}  // namespace

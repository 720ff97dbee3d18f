// select.cc — the three code settings from the environment, their validation,
// and the installation of one converter family into the slots (and the bulk
// forms beside them). Bad values are counted errors and fall back to 0.
#include <cstdlib>
#include <cstring>

#include "charcode/converters.h"
#include "charcode/locale_memo.h"
#include "driver/locale_units.h"
#include "driver/messages.h"
#include "driver/settings.h"

Unit (*in_getwc)(InputStream& in) = nullptr;
Unit (*out_putwc)(Unit unit, OutputStream& out) = nullptr;
int (*out_putnum)(double value, OutputStream& out) = nullptr;
int (*out_putmbs)(const char* text, OutputStream& out) = nullptr;
int (*out_wctomb)(char* buffer, Unit unit) = nullptr;

bool locale_keeps_ascii = false;
std::size_t locale_longest = 1;
bool in_keeps_ascii = false;
bool out_keeps_ascii = false;
bool codes_are_utf8 = false;
bool codes_are_utf16le = false;
void (*out_putunits_slot)(const Unit* units, std::size_t count, OutputStream& out) = nullptr;
WorkTextCodec work_text_codec = {true, true, 3};

namespace {

BulkDecoder in_getunits_slot = nullptr;

struct InputCode {
  int32_t value;  // idatautf
  UnitDecoder decode;
  BulkDecoder decode_bulk;
};

const InputCode kInputCodes[] = {
    {0, decode_locale, decode_locale_bulk},     {8, decode_utf8, decode_utf8_bulk},
    {16, decode_utf16le, decode_utf16le_bulk},  {32, decode_utf32le, decode_utf32le_bulk},
    {-16, decode_utf16be, decode_utf16be_bulk}, {-32, decode_utf32be, decode_utf32be_bulk},
};

struct OutputCode {
  int32_t value;  // odatautf (and the accepted values of datautf)
  UnitWriter write;
  UnitEncoder encode;
  BulkWriter write_bulk;
};

const OutputCode kOutputCodes[] = {
    {0, write_locale, encode_locale, write_locale_bulk},
    {8, write_utf8, encode_utf8, write_utf8_bulk},
    {16, write_utf16, encode_utf16, write_utf16_bulk},
    {32, write_utf32, encode_utf32, write_utf32_bulk},
};

const InputCode* find_input_code(int32_t value) {
  for (const InputCode& code : kInputCodes) {
    if (code.value == value) return &code;
  }
  return nullptr;
}

const OutputCode* find_output_code(int32_t value) {
  for (const OutputCode& code : kOutputCodes) {
    if (code.value == value) return &code;
  }
  return nullptr;
}

void read_environment(const char* variable, int32_t& setting) {
  const char* text = std::getenv(variable);
  if (text != nullptr) setting = setting_number(text);
}

bool locale_keeps_ascii_bytes() {
  for (Unit unit = 1; unit < 0x80; ++unit) {
    char bytes[OUT_WCTOMB_MAX];
    if (out_wctomb(bytes, unit) != 1 || bytes[0] != static_cast<char>(unit)) return false;
  }
  return true;
}

// After the output slots are filled: the locale's answers go through out_wctomb.
WorkTextCodec choose_work_text_codec() {
  if (odatautf != 0) return {true, true, 3};
  int longest = locale_max_length();
  return {false, locale_keeps_ascii_bytes(), longest > 0 ? static_cast<std::size_t>(longest) : 1};
}

}  // namespace

void init_charcode() {
  datautf = 0;
  idatautf = 0;
  odatautf = 0;
  read_environment("Kdatautf", datautf);
  read_environment("Kodatautf", odatautf);
  read_environment("Kidatautf", idatautf);
}

void select_charcode() {
  if (find_output_code(datautf) == nullptr) {
    message(MSG_ERROR, "invalid datautf value (%d).\n", datautf);
    datautf = 0;
  }
  if (find_input_code(idatautf) == nullptr) {
    message(MSG_ERROR, "invalid idatautf value (%d).\n", idatautf);
    idatautf = 0;
  }
  if (find_output_code(odatautf) == nullptr) {
    message(MSG_ERROR, "invalid odatautf value (%d).\n", odatautf);
    odatautf = 0;
  }
  if (datautf != 0) {
    idatautf = datautf;
    odatautf = datautf;
  }
  const InputCode* input_code = find_input_code(idatautf);
  in_getwc = input_code->decode;
  in_getunits_slot = input_code->decode_bulk;
  const OutputCode* output_code = find_output_code(odatautf);
  out_putwc = output_code->write;
  out_wctomb = output_code->encode;
  out_putunits_slot = output_code->write_bulk;
  out_putmbs = put_multibyte;
  out_putnum = put_number;
  locale_memo_clear();
  locale_longest = static_cast<std::size_t>(locale_max_length());
  locale_keeps_ascii = locale_ascii_round_trips();
  in_keeps_ascii = idatautf == 8 || (idatautf == 0 && locale_keeps_ascii);
  out_keeps_ascii = odatautf == 8 || (odatautf == 0 && locale_keeps_ascii);
  bool locale_utf8 = (idatautf == 0 || odatautf == 0) && locale_speaks_utf8();
  codes_are_utf16le = idatautf == 16 && odatautf == 16;
  codes_are_utf8 = (idatautf == 8 || (idatautf == 0 && locale_utf8)) &&
                   (odatautf == 8 || (odatautf == 0 && locale_utf8));
  work_text_codec = choose_work_text_codec();
}

// Asked once here: characters of every length, at the edges of their
// lengths, read and written as UTF-8 writes them.
bool locale_speaks_utf8() {
  struct Sample {
    char32_t code_point;
    const char* bytes;
  };
  static const Sample kSamples[] = {
      {0x80, "\xC2\x80"},
      {0xE9, "\xC3\xA9"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0x65E5, "\xE6\x97\xA5"},
      {0xFFFD, "\xEF\xBF\xBD"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x1F600, "\xF0\x9F\x98\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  if (!locale_keeps_ascii) return false;
  for (const Sample& sample : kSamples) {
    int length = static_cast<int>(std::strlen(sample.bytes));
    char32_t code_point = 0;
    if (locale_decode_char(sample.bytes, static_cast<std::size_t>(length), code_point) != length ||
        code_point != sample.code_point) {
      return false;
    }
    char bytes[64];
    if (locale_encode_char(sample.code_point, bytes) != length ||
        std::memcmp(bytes, sample.bytes, static_cast<std::size_t>(length)) != 0) {
      return false;
    }
  }
  return true;
}

// Asked once here, so the bulk converters never ask the locale per unit.
bool locale_ascii_round_trips() {
  for (int c = 0; c < 0x80; ++c) {
    char byte = static_cast<char>(c);
    char32_t code_point = 0xFFFFFFFF;
    int used = locale_decode_char(&byte, 1, code_point);
    if (used != (c == 0 ? 0 : 1) || code_point != static_cast<char32_t>(c)) return false;
    char bytes[64];
    if (locale_encode_char(code_point, bytes) != 1 || bytes[0] != byte) return false;
  }
  return true;
}

std::size_t in_getunits(InputStream& in, Unit* units, std::size_t capacity) {
  return in_getunits_slot(in, units, capacity);
}

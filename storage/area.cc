// area.cc — bump reservation, growth through the pact stack, pointer
// translation after a move, and the helpers that build strings in an area.
// Every storage failure ends the process through message(MSG_FATAL, ...).
#include "storage/area.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "charcode/charcode.h"
#include "charcode/converters.h"
#include "driver/locale_units.h"
#include "driver/messages.h"

StorageArea rsize_area;
StorageArea tsize_area;
StorageArea nsize_area;
StorageArea wsize_area;

namespace {

// Writes "<key>=<size in KB>" into name, keeping what fits of it.
void format_area_name(const char* key, std::size_t size, char (&name)[20]) {
  std::snprintf(name, sizeof name, "%s=%zu", key, size / 1024);
}

std::size_t area_size(const StorageArea& area) {
  return static_cast<std::size_t>(area.end - area.begin);
}

std::size_t area_room(const StorageArea& area) {
  return static_cast<std::size_t>(area.end - area.head);
}

// Pointer variables of any object type are read and written through memcpy:
// the pact only knows their addresses, not their types.
void* load_pointer(const void* variable) {
  void* value;
  std::memcpy(&value, variable, sizeof value);
  return value;
}

void store_pointer(void* variable, void* value) {
  std::memcpy(variable, &value, sizeof value);
}

// Bytes of text before its NUL, counting at most `limit`.
std::size_t bytes_before_nul(const char* text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

}  // namespace

void area_create(std::size_t size, const char* key, StorageArea& area) {
  area = StorageArea{};
  format_area_name(key, size, area.name);
  // A block of 0 bytes could never grow by doubling and a shortage would
  // retry forever; the driver rejects such sizes, and one byte keeps the
  // area growable should anyone create one anyway.
  std::size_t bytes = size == 0 ? 1 : size;
  area.begin = static_cast<char*>(std::malloc(bytes));
  if (area.begin == nullptr) message(MSG_FATAL, "can't allocate storage for %s.\n", area.name);
  area.end = area.begin + bytes;
  area.head = area.begin;
}

void area_reset(StorageArea& area) {
  area.head = area.begin;
}

void* area_reserve_after_pacts(std::size_t n, StorageArea& area) {
  while (n > area_room(area)) {
    std::size_t room_before = area_room(area);
    int32_t result = area_run_pacts(area);
    if (result > 0) return nullptr;
    // A pact stack that says "handled" without making room would retry forever.
    if (result < 0 || area_room(area) <= room_before)
      message(MSG_FATAL, "insufficient %s\n", area.name);
  }
  char* result = area.head;
  area.head += n;
  return result;
}

void area_align(std::size_t n, StorageArea& area) {
  if (n <= 1) return;
  std::size_t remainder = reinterpret_cast<std::uintptr_t>(area.head) % n;
  if (remainder != 0) area_reserve(n - remainder, area);
}

void area_resize(std::size_t new_size, StorageArea& area) {
  // The name changes first, so a failure message shows the size asked for.
  char* equals = std::strchr(area.name, '=');
  if (equals != nullptr) {
    std::size_t left = sizeof area.name - static_cast<std::size_t>(equals + 1 - area.name);
    std::snprintf(equals + 1, left, "%zu", new_size / 1024);
  }
  area.old_begin = area.begin;
  area.old_end = area.end;
  area.old_head = area.head;
  if (new_size == area_size(area)) return;
  std::ptrdiff_t used = area.head - area.begin;
  char* block = static_cast<char*>(std::realloc(area.begin, new_size == 0 ? 1 : new_size));
  if (block == nullptr) message(MSG_FATAL, "can't resize %s\n", area.name);
  area.begin = block;
  area.end = block + new_size;
  // Areas only grow; should one shrink below its data, the data is cut off.
  area.head = area.begin + (static_cast<std::size_t>(used) <= new_size ? used : new_size);
}

void* area_translate(void* p, const StorageArea& area) {
  // The old block is gone, so its bounds are compared as plain numbers.
  // The old head itself is translated too: a remembered head (a rewind mark)
  // is one past the data when the very next reservation makes the area grow.
  std::uintptr_t address = reinterpret_cast<std::uintptr_t>(p);
  std::uintptr_t old_begin = reinterpret_cast<std::uintptr_t>(area.old_begin);
  std::uintptr_t old_head = reinterpret_cast<std::uintptr_t>(area.old_head);
  if (p == nullptr || area.old_begin == nullptr || address < old_begin || address > old_head)
    return p;
  return area.begin + (address - old_begin);
}

int32_t area_run_pacts(StorageArea& area) {
  if (area.pact_count < 1) return -1;
  for (int32_t i = 0; i < area.pact_count; ++i) {
    const Pact& pact = area.pacts[i];
    int32_t result = pact.handler(pact.a, pact.b, area);
    if (result != 0) return result;
  }
  return 0;
}

void pact_overflow() {
  message(MSG_FATAL, "program error (pact over).\n");
  std::abort();  // message() never returns from a fatal level
}

int32_t area_double(void*, void*, StorageArea& area) {
  area_resize(2 * static_cast<std::size_t>(area.end - area.begin), area);
  return 0;
}

int32_t translate_pair(void* a, void* b, StorageArea& area) {
  if (a != nullptr) store_pointer(a, area_translate(load_pointer(a), area));
  if (b != nullptr) store_pointer(b, area_translate(load_pointer(b), area));
  return 0;
}

Unit* area_widen(const char* text, StorageArea& area) {
  Unit* start = nullptr;
  const char* cursor = text;  // the text may itself lie in this area
  pact_push(translate_pair, &start, &cursor, area);
  area_align(sizeof(Unit), area);
  std::size_t longest = static_cast<std::size_t>(locale_max_length());
  bool failed = false;
  while (*cursor != '\0') {
    // Where the locale keeps ASCII, a run of it is its own units: the locale
    // is not asked byte by byte (long field lists are mostly ASCII).
    if (locale_keeps_ascii && static_cast<unsigned char>(*cursor) < 0x80) {
      std::size_t run = 1;
      while (cursor[run] != '\0' && static_cast<unsigned char>(cursor[run]) < 0x80) ++run;
      Unit* slot = static_cast<Unit*>(area_reserve_object(run * sizeof(Unit), start, area));
      if (slot == nullptr) {
        failed = true;
        break;
      }
      // Read after the reservation: the pact has moved `cursor` with the area.
      for (std::size_t i = 0; i < run; ++i) slot[i] = static_cast<unsigned char>(cursor[i]);
      cursor += run;
      continue;
    }
    char32_t code_point = 0;
    // Never offer bytes past the NUL: a character cut short by it is an error.
    int used = locale_decode_char(cursor, bytes_before_nul(cursor, longest), code_point);
    if (used <= 0) {
      failed = true;
      break;
    }
    Unit units[2];
    int count = units_from_code_point(code_point, units);
    Unit* slot = static_cast<Unit*>(area_reserve_object(count * sizeof(Unit), start, area));
    if (slot == nullptr) {  // a pact gave up
      failed = true;
      break;
    }
    std::memcpy(slot, units, count * sizeof(Unit));
    cursor += used;
  }
  if (failed) {
    if (start != nullptr) area.head = reinterpret_cast<char*>(start);
    pact_pop(area);
    return nullptr;
  }
  Unit* terminator = static_cast<Unit*>(area_reserve_object(sizeof(Unit), start, area));
  pact_pop(area);
  if (terminator == nullptr) return nullptr;
  *terminator = 0;
  return start;
}

char* area_narrow(const Unit* text, StorageArea& area) {
  char* start = nullptr;
  const Unit* cursor = text;  // the text may itself lie in this area
  pact_push(translate_pair, &cursor, &start, area);
  while (*cursor != 0) {
    char32_t code_point = *cursor++;
    if (is_high_surrogate(code_point) && is_low_surrogate(*cursor))
      code_point = join_surrogates(code_point, *cursor++);
    char bytes[std::max(MB_LEN_MAX, 16)];
    int count = locale_encode_char(code_point, bytes);
    if (count <= 0) continue;  // the locale has no such character: left out
    char* slot = static_cast<char*>(area_reserve_object(count, start, area));
    if (slot == nullptr) break;  // a pact gave up: the string ends here
    std::memcpy(slot, bytes, count);
  }
  char* terminator = static_cast<char*>(area_reserve_object(1, start, area));
  if (terminator != nullptr) *terminator = '\0';
  pact_pop(area);
  return start;
}


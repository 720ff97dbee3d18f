// area.h — growable bump-allocated storage areas with pact stacks.
// All variable-length data lives in four process-wide areas; an area is
// emptied as a whole, rewound to a remembered head, or grown by doubling.
// Growth may move the block, so an operation holding pointers into an area
// across reservations pushes a pact that translates them. Storage failures
// are fatal (status 3); nothing here returns an error the caller must report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "driver/unit.h"

struct StorageArea;

// A pact handler: 0 handled (next pact runs, then the reservation retries),
// positive gives up (the reservation returns null), negative is fatal.
using PactHandler = int32_t (*)(void* a, void* b, StorageArea& area);

struct Pact {
  PactHandler handler;
  void* a;  // the handler's private arguments, typically addresses of
  void* b;  // the owner's pointer variables; either may be null
};

constexpr int PACT_CAPACITY = 4;

struct StorageArea {
  char* begin = nullptr;      // first byte of the block
  char* end = nullptr;        // one past the block
  char* head = nullptr;       // next free byte
  char name[20] = {};         // "rsize=2": settings key and size in KB, for messages
  char* old_begin = nullptr;  // begin, end, head just before the latest resize,
  char* old_end = nullptr;    // kept only as numbers for area_translate
  char* old_head = nullptr;
  Pact pacts[PACT_CAPACITY] = {};
  int32_t pact_count = 0;
};

// The four process-wide areas (owned by the driver, created at start-up).
extern StorageArea rsize_area;
extern StorageArea tsize_area;
extern StorageArea nsize_area;
extern StorageArea wsize_area;

void area_create(std::size_t size, const char* key, StorageArea& area);
void area_reset(StorageArea& area);
// The common case, room left, is a bump of head inline; a shortage runs the
// pacts out of line (area_reserve_after_pacts).
void* area_reserve_after_pacts(std::size_t n, StorageArea& area);
inline void* area_reserve(std::size_t n, StorageArea& area) {
  // Compared as room left, so a huge n cannot overflow the pointer sum.
  if (n > static_cast<std::size_t>(area.end - area.head)) return area_reserve_after_pacts(n, area);
  char* result = area.head;
  area.head += n;
  return result;
}
// As area_reserve; when `start` is null it is set to the result, so successive
// calls with the same `start` build one contiguous object. Reads `start` only
// after the reservation: a pact may have translated the caller's variable
// while the area grew, and a copy taken before would be stale.
template <class T>
void* area_reserve_object(std::size_t n, T*& start, StorageArea& area) {
  void* result = area_reserve(n, area);
  if (result != nullptr && start == nullptr) start = static_cast<T*>(result);
  return result;
}
void area_align(std::size_t n, StorageArea& area);
void area_resize(std::size_t new_size, StorageArea& area);
void* area_translate(void* p, const StorageArea& area);
template <class T>
T* area_translate(T* p, const StorageArea& area) {
  return static_cast<T*>(
      area_translate(static_cast<void*>(const_cast<std::remove_const_t<T>*>(p)), area));
}
int32_t area_run_pacts(StorageArea& area);

// Pushed and popped around every record, so both are inline; a fifth pact is
// the fatal "program error (pact over).\n" (pact_overflow).
[[noreturn]] void pact_overflow();
inline void pact_push(PactHandler handler, void* a, void* b, StorageArea& area) {
  if (area.pact_count >= PACT_CAPACITY) pact_overflow();
  area.pacts[area.pact_count] = Pact{handler, a, b};
  ++area.pact_count;
}
inline void pact_pop(StorageArea& area) {
  if (area.pact_count > 0) --area.pact_count;
}

// As area_reserve, with the caller's pact pushed only when the area must
// grow (on top of the area's own pacts, as if pushed for the whole
// operation): a reservation with room left, nearly every one, costs none.
inline void* area_reserve_guarded(std::size_t n, PactHandler handler, void* a, void* b,
                                  StorageArea& area) {
  if (n <= static_cast<std::size_t>(area.end - area.head)) return area_reserve(n, area);
  pact_push(handler, a, b, area);
  void* result = area_reserve_after_pacts(n, area);
  pact_pop(area);
  return result;
}

// Pact handler: resizes the area to twice its size and returns 0, so the
// reservation is retried (the growth every area's first pact performs).
int32_t area_double(void* a, void* b, StorageArea& area);

// Pact handler: a and b are addresses of pointer variables (either may be
// null); each given variable is replaced by area_translate of its value.
int32_t translate_pair(void* a, void* b, StorageArea& area);

// Multibyte (locale code) string -> NUL-terminated Units in the area; null on
// a conversion error (nothing is left reserved then).
Unit* area_widen(const char* text, StorageArea& area);
// Units -> NUL-terminated multibyte string in the area; units the locale
// cannot represent are left out. Never null.
char* area_narrow(const Unit* text, StorageArea& area);

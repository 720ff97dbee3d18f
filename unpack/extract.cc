// extract.cc — the two ways of copying a piece. The value is read in place;
// runs of units that are copied unchanged go to the destination in one call,
// so only quotes, escapes and trimmed spaces are looked at one unit at a time.
#include "unpack/extract.h"

#include "charcode/charcode.h"
#include "unpack/work_text.h"
#include "wregexp/quick_search.h"

namespace {

constexpr Unit SPACE = 0x20;
constexpr Unit DOUBLE_QUOTE = 0x22;
constexpr Unit SINGLE_QUOTE = 0x27;
constexpr Unit BACKSLASH = 0x5C;

// State of the scan of one delimited piece.
enum ScanState {
  NORMAL,     // outside quotes: the stop point applies
  ESCAPED,    // the previous unit was an escaping backslash
  IN_DOUBLE,  // inside a part opened by a double quote
  IN_SINGLE,  // inside a part opened by a single quote
};

void sink_begin(PieceSink& sink);
void sink_put(PieceSink& sink, const Unit* units, std::size_t count);
void sink_finish(PieceSink& sink);
const Unit* stop_point(const Match& match, bool pattern, const Unit* from, const Unit* eol);

}  // namespace

Match find_match(wregexp* regex, const Unit* from) {
  const Unit* subject = from;
  // The simple expressions need none of wregexec's set-up: quick_search
  // gives the same match.
  const bool simple = regex != nullptr && regex->quick.simple;
  while ((simple ? quick_search(*regex, subject) : wregexec(regex, subject)) != 0) {
    const Unit* start = regex->match_starts[0];
    const Unit* end = regex->match_ends[0];
    if (end != start) return Match{start, end};
    if (*start == 0) break;  // an empty match at the value's end
    subject = start + 1;
  }
  return Match{};
}

bool absorbs_runs(wregexp* regex, const Unit* begin, const Unit* end) {
  return wregexp_doubled_match(begin, end, regex) == 0;
}

const Unit* extract_fixed(const Unit* position, const Unit* piece_end, const FieldFormat& format,
                          PieceSink& sink) {
  const Unit* start = position;
  const Unit* end = piece_end;
  if ((format.options & OPTION_R) != 0) {
    while (start < end && *start == SPACE) ++start;
  }
  if ((format.options & OPTION_L) != 0) {
    while (end > start && end[-1] == SPACE) --end;
  }
  sink_begin(sink);
  sink_put(sink, start, static_cast<std::size_t>(end - start));
  sink_finish(sink);
  return piece_end;
}

const Unit* extract_delimited(const Unit* position, const Unit* eol, const FieldFormat& format,
                              const Match* known, PieceSink& sink, bool& trailing_empty) {
  const bool pattern = format.end_kind == END_PATTERN;
  const uint32_t options = format.options;
  Match match = known != nullptr ? *known : find_match(format.regex, position);
  const Unit* stop = stop_point(match, pattern, position, eol);
  const Unit* p = position;
  bool at_stop = false;  // the scan ended at the stop point, not at eol
  sink_begin(sink);
  if ((options & (OPTION_Q | OPTION_SQUOTE | OPTION_B)) == 0) {
    // Without quotes and escapes nothing carries the scan over the stop point.
    p = stop;
    at_stop = stop != eol;
    sink_put(sink, position, static_cast<std::size_t>(p - position));
  } else {
    const Unit* run = p;  // start of the units to copy that are not handed on yet
    ScanState state = NORMAL;
    while (p < eol) {
      const Unit unit = *p;
      switch (state) {
        case NORMAL:
          if (p > stop) {  // a quoted part or an escape went past the stop point
            match = find_match(format.regex, p);
            stop = stop_point(match, pattern, p, eol);
          }
          if (p == stop) {
            at_stop = true;
            break;
          }
          if ((options & OPTION_B) != 0 && unit == BACKSLASH) {
            state = ESCAPED;
          } else if ((options & OPTION_Q) != 0 && unit == DOUBLE_QUOTE) {
            state = IN_DOUBLE;
          } else if ((options & OPTION_SQUOTE) != 0 && unit == SINGLE_QUOTE) {
            state = IN_SINGLE;
          } else {
            ++p;
            continue;
          }
          sink_put(sink, run, static_cast<std::size_t>(p - run));
          run = ++p;  // the backslash or quote is not copied
          continue;
        case ESCAPED:
          ++p;  // copied whatever it is
          state = NORMAL;
          continue;
        case IN_DOUBLE:
          if (unit == DOUBLE_QUOTE) {
            if ((options & OPTION_X) == 0 && p + 1 < eol && p[1] == DOUBLE_QUOTE) {
              sink_put(sink, run, static_cast<std::size_t>(p + 1 - run));  // one quote of two
              p += 2;
            } else {
              sink_put(sink, run, static_cast<std::size_t>(p - run));
              state = NORMAL;
              ++p;
            }
            run = p;
          } else if (unit == BACKSLASH && (options & OPTION_X) != 0 && p + 1 < eol &&
                     (p[1] == DOUBLE_QUOTE || p[1] == BACKSLASH)) {
            sink_put(sink, run, static_cast<std::size_t>(p - run));
            run = ++p;  // the escaped unit starts the next run
            ++p;
          } else {
            ++p;
          }
          continue;
        case IN_SINGLE:
          if (unit == SINGLE_QUOTE) {
            sink_put(sink, run, static_cast<std::size_t>(p - run));
            state = NORMAL;
            run = ++p;
          } else {
            ++p;
          }
          continue;
      }
      break;  // at the stop point
    }
    sink_put(sink, run, static_cast<std::size_t>(p - run));
  }
  sink_finish(sink);
  trailing_empty = false;
  if (!at_stop) return eol;
  if (pattern) return p;
  // The delimiter is consumed. A single delimiter at the value's very end
  // leaves one empty piece due; one that absorbs runs does not.
  if (match.end == eol && !absorbs_runs(format.regex, match.start, eol)) trailing_empty = true;
  return match.end;
}

namespace {

void sink_begin(PieceSink& sink) {
  if (sink.destination == PIECE_WORK_TEXT) *sink.work_text = nullptr;
}

void sink_put(PieceSink& sink, const Unit* units, std::size_t count) {
  if (count == 0) return;
  switch (sink.destination) {
    case PIECE_OUTPUT:
      out_putunits(units, count, *sink.out);
      break;
    case PIECE_WORK_TEXT:
      work_text_append(units, count, *sink.work_text, *sink.area);
      break;
    case PIECE_DISCARD:
      break;
  }
}

void sink_finish(PieceSink& sink) {
  if (sink.destination == PIECE_WORK_TEXT) work_text_finish(*sink.work_text, *sink.area);
}

// Where a piece ends for the match found by a search from `from`.
const Unit* stop_point(const Match& match, bool pattern, const Unit* from, const Unit* eol) {
  if (match.start == nullptr) return pattern ? from : eol;
  return pattern ? match.end : match.start;
}

}  // namespace

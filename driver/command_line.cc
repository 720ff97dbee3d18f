// command_line.cc — locale from the environment, options, -K items, texts.
#include "driver/command_line.h"

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/messages.h"
#include "driver/settings.h"

const char* option_argument = "";
int32_t option_index = 0;
const char* setting_value = "";

namespace {

// Scanner state beyond the index: the letters that take an argument.
struct OptionScanner {
  bool letters_built;  // the set is built on the first call
  char letters[16];    // at most 15 letters, NUL-terminated
};
OptionScanner scanner = {};

std::string* version_text = nullptr;
int usage_calls = 0;

// Where the -K splitter goes on, and the text it was last given.
struct SettingSplitter {
  char* text;  // text of the previous call
  char* next;  // where the next item starts
};
SettingSplitter splitter = {};

constexpr const char* kUsageText =
    "Kunpack [options] field-format-list [input-file ..]\n"
    "\tDecomposition of a field into repeating fields.\n"
    "\tfield-format-list:\tfield[s] to unpack.\n"
    "\tOptions:\n"
    "\t -t delimiter\n"
    "\t\tdefault delimiter for the field-format-list.\n"
    "\t -z format-options\n"
    "\t\tdefault options for the field-format-list.\n"
    "\t -K [i|o]datautf=0|8|16|32\n"
    "\t\tUTF character code.\n"
    "\t --version\tprint version number.\n"
    "\t --help\t\tprint this message.\n";

void build_letter_set(const char* option_string) {
  int count = 0;
  for (const char* p = option_string; *p != 0 && count < 15; ++p) {
    if (*p != ':' && p[1] == ':') scanner.letters[count++] = *p;
  }
  scanner.letters[count] = 0;
  scanner.letters_built = true;
}

bool takes_argument(char letter) {
  return letter != 0 && std::strchr(scanner.letters, letter) != nullptr;
}

// White space as the locale classifies it.
bool is_blank(char c) {
  return c != 0 && std::isspace(static_cast<unsigned char>(c)) != 0;
}

char* skip_blanks(char* p) {
  while (is_blank(*p)) ++p;
  return p;
}

}  // namespace

void startup_init(int argc, char** argv) {
  static const struct {
    int category;
    const char* name;
  } kCategories[] = {{LC_CTYPE, "LC_CTYPE"},
                     {LC_NUMERIC, "LC_NUMERIC"},
                     {LC_TIME, "LC_TIME"},
                     {LC_COLLATE, "LC_COLLATE"},
                     {LC_MONETARY, "LC_MONETARY"}};
  for (const auto& category : kCategories) {
    const char* value = std::getenv(category.name);
    if (value == nullptr) value = std::getenv("LC_ALL");
    if (value == nullptr) value = std::getenv("LANG");
    // A name the platform rejects leaves the category as it was.
    std::setlocale(category.category, value != nullptr ? value : "");
  }
  program_name = argc > 0 && argv[0] != nullptr ? argv[0] : "Kunpack";
  operand_count = argc > 0 ? argc - 1 : 0;
  operands = argc > 0 ? argv + 1 : argv;
  error_count = 0;
  current_file_name = nullptr;
  record_number = 0;
  option_index = 0;
  scanner = {};
}

void version_add(const char* text) {
  if (version_text == nullptr) {
    version_text = new std::string(text);
  } else {
    *version_text += " / ";
    *version_text += text;
  }
}

void usage() {
  if (usage_calls++ == 0) std::fputs(kUsageText, stdout);
}

int option_next(const char* option_string, char* letter) {
  if (option_index >= operand_count) return 0;
  if (!scanner.letters_built) build_letter_set(option_string);
  const char* arg = operands[option_index];
  if (arg[0] != '-' || std::strcmp(arg, "-") == 0) return 0;
  if (std::strcmp(arg, "--") == 0) {
    ++option_index;
    return 0;
  }
  if (std::strcmp(arg, "--version") == 0) {
    std::printf("%s\n", version_text != nullptr ? version_text->c_str() : "");
    return -1;
  }
  if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-?") == 0) {
    usage();
    return -1;
  }
  if (takes_argument(arg[1])) {
    *letter = arg[1];
    if (arg[2] != 0) {
      option_argument = arg + 2;
    } else if (option_index + 1 < operand_count) {
      option_argument = operands[++option_index];
    } else {
      option_argument = "";  // a missing argument is not an error
    }
    ++option_index;
    return 1;
  }
  message(MSG_ERROR, "invalid option -%s.\n", arg + 1);
  *letter = arg[1];
  option_argument = arg[1] != 0 ? arg + 2 : arg + 1;
  ++option_index;
  return 1;
}

// Items are separated by a run of white space holding at most one ',' (or by
// one ','); after '=' white space is skipped and the value ends at ',', white
// space or the end, so "rsize=8 tsize=4" and "rsize = 8" both work.
char* setting_next(char* text) {
  if (text != splitter.text) {
    splitter.text = text;
    splitter.next = text;
  }
  char* p = skip_blanks(splitter.next);
  if (*p == 0) {
    splitter = {};  // finished: the next call starts afresh, whatever its text
    return nullptr;
  }
  char* name = p;
  while (*p != 0 && !is_blank(*p) && *p != '=' && *p != ',') ++p;
  setting_value = "";
  if (is_blank(*p)) {
    *p++ = 0;
    p = skip_blanks(p);
  }
  if (*p == '=') {
    *p++ = 0;
    p = skip_blanks(p);
    char* value = p;
    while (*p != 0 && !is_blank(*p) && *p != ',') ++p;
    setting_value = value;
    if (is_blank(*p)) {
      *p++ = 0;
      p = skip_blanks(p);
      if (*p == ',') p = skip_blanks(p + 1);
    } else if (*p == ',') {
      *p++ = 0;
      p = skip_blanks(p);
    }
  } else if (*p == ',') {
    *p++ = 0;
    p = skip_blanks(p);
  }
  // Otherwise the end, or a further word after white space: an empty value.
  splitter.next = p;
  return name;
}

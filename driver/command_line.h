// command_line.h — start-up of the process state, the option scanner, the
// -K item splitter, and the version and usage texts.
// The scanner stops at the first operand, "-" or "--"; an unknown letter is a
// counted message and scanning goes on; --version/--help/-? end the run.
#pragma once

#include <cstdint>

// Sets the locale categories from the environment, the program name, the
// operands and the message state; resets the scanner.
void startup_init(int argc, char** argv);

void version_add(const char* text);
// Prints the usage text on the first call only.
void usage();

// Argument of the option last returned by option_next.
extern const char* option_argument;
// Index in `operands` of the argument being scanned.
extern int32_t option_index;

// 1 = an option (letter and option_argument set), 0 = options finished,
// -1 = the version or usage text was printed and the run is complete.
int option_next(const char* option_string, char* letter);

// Next item name of a -K argument (terminators are written into text), or
// null; the item's value text is left in setting_value.
char* setting_next(char* text);
extern const char* setting_value;

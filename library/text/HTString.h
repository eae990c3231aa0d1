/*
 * HTString: string helpers shared by the whole library.
 *
 * Locale-aware case tables and case-insensitive comparison, heap string
 * assignment and concatenation, tokenisers for header fields, cache-control
 * lists and configuration lines, yes/no keyword recognition, integer-to-text
 * conversions and the ELF string hash. Tables are built once at start-up
 * (until then they hold the C locale's classes) and read without locks.
 */
#ifndef HTSTRING_H
#define HTSTRING_H

#include "htexport.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Rebuilds the five case tables from the C runtime's classes in whatever
 * locale is current. Until it runs, the tables hold the C locale's classes.
 * Start-up calls it through initializeCaseTables (HTLocaleText.h), which
 * first sets the locale from the environment.
 */
void HTString_buildCaseTables(void) HT_NOEXCEPT;
HT_EXPORT int useToUpperTable(int c) HT_NOEXCEPT;
HT_EXPORT int useToLowerTable(int c) HT_NOEXCEPT;
HT_EXPORT int useIsAlphaTable(int c) HT_NOEXCEPT;
HT_EXPORT int useIsSpaceTable(int c) HT_NOEXCEPT;
HT_EXPORT int useIsDigitTable(int c) HT_NOEXCEPT;

/* Compare through the upper-case table: negative, 0 or positive like strcmp. */
HT_EXPORT int strcasecomp(const char *a, const char *b) HT_NOEXCEPT;
HT_EXPORT int strncasecomp(const char *a, const char *b, int n) HT_NOEXCEPT;
/* The upper-case form of `a` against `b` as it is: 0 when equal, 1 otherwise. */
HT_EXPORT int strUcasecomp(const char *a, const char *b) HT_NOEXCEPT;
HT_EXPORT int strnUcasecomp(const char *a, const char *b, int n) HT_NOEXCEPT;

/*
 * *dest becomes a heap copy of src (null gives null), the old text released
 * after the copy is made, so src may point into *dest. Nothing happens when
 * *dest already is src. Returns *dest.
 */
HT_EXPORT char *HTSACopy(char **dest, const char *src) HT_NOEXCEPT;
/*
 * Appends src to the heap text in *dest (a null *dest gets a copy); a null or
 * empty src changes nothing; src may point into *dest. Returns *dest.
 */
HT_EXPORT char *HTSACat(char **dest, const char *src) HT_NOEXCEPT;

HT_EXPORT char *strlwr(char *text) HT_NOEXCEPT;
/* Occurrences of the byte c. */
HT_EXPORT int count(const char *text, int c) HT_NOEXCEPT;
/* Replaces every `old_char` byte by `new_char` in place; returns 0. */
HT_EXPORT int translate(char *text, int new_char, int old_char) HT_NOEXCEPT;
/*
 * Writes directory, a "/" unless it ends with one, and file into the buffer
 * of `capacity` bytes. Returns the length written, or -1 (buffer left empty)
 * when it does not fit.
 */
HT_EXPORT int AssemblePathAndFile(char *buffer, size_t capacity, const char *directory,
                                  const char *file) HT_NOEXCEPT;
/* The ELF string hash of the text, modulo size when size is not 0. */
HT_EXPORT uint32_t ElfHash(uint32_t size, const char *text) HT_NOEXCEPT;
/* 0 when equal ignoring case; 1 when different or either is over 64 characters. */
HT_EXPORT int compare_host_names(const char *a, const char *b) HT_NOEXCEPT;

/*
 * Tokenisers: each returns the next item, cutting the text in place, and
 * advances *cursor; null when nothing is left. The cursor never moves past
 * the text's terminator.
 *
 * HTNextField: skips bytes 1 to 32; a field in double quotes runs to the
 * closing quote (a backslash protects the next character) and the quotes
 * are not part of it; otherwise a field ends at a byte of 32 or below.
 */
HT_EXPORT char *HTNextField(char **cursor) HT_NOEXCEPT;
/* Words separated by blanks and tabs. */
HT_EXPORT char *get_word(char **cursor) HT_NOEXCEPT;
/* Cache-control style lists: directives end at a comma or white space outside quotes. */
HT_EXPORT char *get_cc_directive(char **cursor) HT_NOEXCEPT;
/* A directive's value: an opening quote is skipped; ends at a quote, comma or white space. */
HT_EXPORT char *get_cc_directive_value(char **cursor) HT_NOEXCEPT;

#define HT_MAX_ARGS 50
/*
 * Splits a configuration line in place into at most 50 arguments separated
 * by bytes 1 to 32; "#" outside quotes ends the line; a double-quoted
 * argument may hold blanks; a backslash before a blank or "#" makes it
 * literal. Unused entries point to the line's terminating zero. Returns the
 * number of arguments.
 */
HT_EXPORT int parse_args(char *line, char *arguments[HT_MAX_ARGS]) HT_NOEXCEPT;

/* Lowers the text in place and removes every "-" and "_". */
HT_EXPORT char *standardize(char *text) HT_NOEXCEPT;
/*
 * Keyword predicates; each looks at the standardized form of the text
 * without changing the caller's text. positive: "yes", "on", "ok" or
 * beginning with "enable", "pass", "always"; negative: "no", "off", "none" or
 * beginning with "disable", "fail", "never"; unlimited: beginning with
 * "unlimit" or "nolimit"; is_use: beginning with "use".
 */
HT_EXPORT int positive(const char *text) HT_NOEXCEPT;
HT_EXPORT int negative(const char *text) HT_NOEXCEPT;
HT_EXPORT int unlimited(const char *text) HT_NOEXCEPT;
HT_EXPORT int is_use(const char *text) HT_NOEXCEPT;

/*
 * Number to text: each writes into the buffer (room for 24 bytes), stores
 * the length written through `length` (when not null) and returns the buffer.
 */
HT_EXPORT char *HTitoa(int value, char *buffer, int *length) HT_NOEXCEPT;
HT_EXPORT char *HTltoa(long value, char *buffer, int *length) HT_NOEXCEPT;
HT_EXPORT char *HTlutoa(unsigned long value, char *buffer, int *length) HT_NOEXCEPT;
/* Upper-case hexadecimal of the value's bits, without prefix. */
HT_EXPORT char *HTitox(int value, char *buffer, int *length) HT_NOEXCEPT;
/* Decimal padded with leading zeros to `width` digits (at most 20). */
HT_EXPORT char *HTi0toa(int value, int width, char *buffer, int *length) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

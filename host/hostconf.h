/*
 * hostconf: the stand-in host's flat configuration file.
 *
 * One directive a line: a name, blanks, and the rest of the line as its
 * argument text (leading and trailing blanks removed). Names compare
 * without regard to case. Blank lines and lines whose first non-blank
 * character is '#' are ignored. Each part of the host that reads the file
 * supplies a table of the directives it knows; a reader may take several
 * tables, and a directive no table knows is an error.
 */
#ifndef HOSTCONF_H
#define HOSTCONF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HOSTCONF_LINE_MAX 4096
#define HOSTCONF_ERROR_MAX 256

/*
 * Applies one directive to `target`: 0, or -1 with a message in `error`
 * (room for HOSTCONF_ERROR_MAX bytes).
 */
typedef int (*HostDirectiveFn)(void *target, const char *args, char *error);

typedef struct HostDirective {
    const char *name;
    HostDirectiveFn apply;
} HostDirective;

typedef struct HostDirectiveTable {
    const HostDirective *directives;
    size_t count;
    void *target;                  /* handed to every directive of the table */
} HostDirectiveTable;

/*
 * Reads the file and applies each directive in file order. A line that is
 * too long, names no known directive or is refused by its directive is
 * reported on standard error as "hostconf: path:line: reason" and skipped,
 * so that one reading shows every mistake; `error` holds the first report.
 * Returns the number of bad lines (0: every directive applied), or -1 when
 * the file cannot be opened (`error` says so).
 */
int hostconf_read(const char *path, const HostDirectiveTable *tables, size_t ntables,
                  char error[HOSTCONF_ERROR_MAX]);
/* The same over text in memory; `name` stands for the path in messages. */
int hostconf_readText(const char *text, const char *name, const HostDirectiveTable *tables,
                      size_t ntables, char error[HOSTCONF_ERROR_MAX]);

/*
 * Value readers for directives. Each takes the argument text, strips one
 * pair of double quotes around it, stores the value and returns 0, or
 * returns -1 with the reason in `error` and leaves the target as it was.
 */
/* The argument without one pair of double quotes around it: its start, and its length in `*length`. */
const char *hostconf_unquoted(const char *args, size_t *length);
/* on, yes, enable... and off, no, none... (the library's keywords) */
int hostconf_flag(const char *args, uintptr_t *out, char error[HOSTCONF_ERROR_MAX]);
/* a decimal number from `low` to `high` */
int hostconf_number(const char *args, long low, long high, long *out, char error[HOSTCONF_ERROR_MAX]);
/* a text of at least one byte, copied to the heap; the old one is freed */
int hostconf_text(const char *args, char **slot, char error[HOSTCONF_ERROR_MAX]);

#ifdef __cplusplus
}
#endif

#endif

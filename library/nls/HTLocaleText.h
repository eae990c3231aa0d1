/*
 * HTLocaleText: the text helpers that depend on the locale or the message
 * catalogues.
 *
 * The plain string and number helpers (HTString.h) sit below the catalogues
 * and never load them; these two need the catalogue layer: the case tables
 * follow the locale that the catalogues' locale handling sets from the
 * environment, and big numbers are grouped with the catalogue's separators.
 */
#ifndef HTLOCALETEXT_H
#define HTLOCALETEXT_H

#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Sets the runtime's locale from the environment (once, through the default
 * locale) and rebuilds the five case tables from its character classes.
 */
HT_EXPORT void initializeCaseTables(void) HT_NOEXCEPT;

/*
 * Decimal with thousands separators (catalogue message 1013, built-in ",";
 * a negative value starts with message 1014, built-in "-"); a catalogue text
 * longer than 4 bytes is not used. The buffer needs HT_PRETTY_INT_SIZE bytes.
 */
#define HT_PRETTY_INT_SIZE 32
HT_EXPORT char *PrettyPrintInt(int value, char *buffer) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

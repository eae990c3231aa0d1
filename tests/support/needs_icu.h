/*
 * needs_icu: skips a test case, visibly, in builds made without ICU
 * (WITH_ICU resolved to OFF, as on the PowerPC cross build). There the
 * catalogues answer every lookup with its built-in default, so only tests of
 * that fall-back behaviour can run.
 */
#ifndef NEEDS_ICU_H
#define NEEDS_ICU_H

#include <gtest/gtest.h>

#ifndef HT_WITH_ICU
#error "HT_WITH_ICU is set by cmake/IcuOption.cmake for every target"
#endif

#define HT_SKIP_WITHOUT_ICU()                                              \
    do {                                                                   \
        if (!HT_WITH_ICU)                                                  \
            GTEST_SKIP() << "built without ICU (WITH_ICU=OFF): catalogue " \
                            "lookups give their built-in defaults";        \
    } while (0)

#endif

// HTConfig: the storage of the server's static configuration record.

#include "HTConfig.h"

static_assert(sizeof(HTStaticConfig) == HT_CONFIG_WORDS * sizeof(void *),
              "the configuration record is exported as 125 words");

HTStaticConfig HTMyStaticConfig;

#ifndef ORACLE_MCUBOOT_ASSERT_H
#define ORACLE_MCUBOOT_ASSERT_H

#include <assert.h>

#define ASSERT(x) assert(x)

#endif

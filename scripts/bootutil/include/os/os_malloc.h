#ifndef ORACLE_OS_MALLOC_H
#define ORACLE_OS_MALLOC_H

#include <stdlib.h>

#endif

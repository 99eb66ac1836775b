/* The bootloader's log lines go to standard error, as many of them as
   VELK_BOOTUTIL_LOG asks for (1 errors ... 4 debug; none by default), so a
   refusal can be traced to the TLV that caused it. */
#ifndef ORACLE_MCUBOOT_LOGGING_H
#define ORACLE_MCUBOOT_LOGGING_H

#include <stdio.h>

#define MCUBOOT_LOG_LEVEL_OFF 0
#define MCUBOOT_LOG_LEVEL_ERROR 1
#define MCUBOOT_LOG_LEVEL_WARNING 2
#define MCUBOOT_LOG_LEVEL_INFO 3
#define MCUBOOT_LOG_LEVEL_DEBUG 4
#define MCUBOOT_LOG_LEVEL_SIM 5

#define MCUBOOT_LOG_MODULE_DECLARE(domain)
#define MCUBOOT_LOG_MODULE_REGISTER(domain)

int oracle_log_level(void);

#define ORACLE_LOG(level, tag, fmt, ...)                                   \
    do {                                                                   \
        if (oracle_log_level() >= (level)) {                               \
            fprintf(stderr, "[" tag "] " fmt "\n", ##__VA_ARGS__);         \
        }                                                                  \
    } while (0)

#define MCUBOOT_LOG_ERR(fmt, ...) ORACLE_LOG(MCUBOOT_LOG_LEVEL_ERROR, "ERR", fmt, ##__VA_ARGS__)
#define MCUBOOT_LOG_WRN(fmt, ...) ORACLE_LOG(MCUBOOT_LOG_LEVEL_WARNING, "WRN", fmt, ##__VA_ARGS__)
#define MCUBOOT_LOG_INF(fmt, ...) ORACLE_LOG(MCUBOOT_LOG_LEVEL_INFO, "INF", fmt, ##__VA_ARGS__)
#define MCUBOOT_LOG_DBG(fmt, ...) ORACLE_LOG(MCUBOOT_LOG_LEVEL_DEBUG, "DBG", fmt, ##__VA_ARGS__)
#define MCUBOOT_LOG_SIM(fmt, ...) ORACLE_LOG(MCUBOOT_LOG_LEVEL_SIM, "SIM", fmt, ##__VA_ARGS__)

#endif

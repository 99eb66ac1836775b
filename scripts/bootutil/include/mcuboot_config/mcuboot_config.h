/* The host bootloader's port settings. The features (signature type, swap
   strategy, rollback protection) come from the compiler's -D words, one set
   per configuration the oracle builds. */
#ifndef ORACLE_MCUBOOT_CONFIG_H
#define ORACLE_MCUBOOT_CONFIG_H

#define MCUBOOT_WATCHDOG_FEED() do { } while (0)
#define MCUBOOT_CPU_IDLE() do { } while (0)

#endif

/* The application behind the bootloader (bootloader.c), linked at 0x08004000
   (bootloaded_app.ld). It checks its own flash, from its first byte to
   crc_value, and that it runs on its own vector table (the bootloader set
   VTOR), then leaves the outcome in the first RAM word as boot.c does. */
#include <stdint.h>

#define BOOT_STARTED   0x57A27ED0u
#define BOOT_OK        0x600DC0DEu
#define BOOT_CRC_BAD   0xBAD0C5C5u
#define BOOT_VTOR_BAD  0xBAD0B7ABu

#define SCB_VTOR (*(volatile uint32_t *)0xE000ED08u)

extern uint32_t __flash_start, __stack_top;

__attribute__((section(".boot_status"), used)) volatile uint32_t boot_status;

__attribute__((section(".crc_value"), used)) const volatile uint32_t crc_value = 0xFFFFFFFFu;

extern void (*const vector_table[16])(void);

static uint32_t crc32_mpeg2(const uint8_t *data, uint32_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= (uint32_t)data[i] << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

void reset_handler(void)
{
    boot_status = BOOT_STARTED;
    const uint8_t *start = (const uint8_t *)&__flash_start;
    const uint8_t *end = (const uint8_t *)&crc_value;
    if (SCB_VTOR != (uint32_t)vector_table)
        boot_status = BOOT_VTOR_BAD;
    else if (crc32_mpeg2(start, (uint32_t)(end - start)) != crc_value)
        boot_status = BOOT_CRC_BAD;
    else
        boot_status = BOOT_OK;
    for (;;)
        __asm volatile("wfi");
}

#include "vectors.h"

/*
 * A minimal Cortex-M3 firmware that checks its own flash at boot.
 *
 * The post-build step `velk-crc FLASH blinky.elf --ncrc_value` computes the
 * CRC-32/MPEG-2 of flash from its first byte up to crc_value and stores it
 * in crc_value in blinky_CRC.hex (and blinky_CRC.elf, for the debugger). At reset the firmware recomputes the same
 * CRC and refuses to run the application when they differ. The outcome is
 * left in the first RAM word (boot_status), where a debugger, or the test
 * suite through QEMU's monitor, can read it.
 */
#include <stdint.h>

#define FLASH_START ((const uint8_t *)0x08000000u)

#define BOOT_STARTED 0x57A27ED0u
#define BOOT_OK      0x600DC0DEu
#define BOOT_CRC_BAD 0xBAD0C5C5u

extern uint32_t __bss_start, __bss_end, __stack_top;

/* Written by the post-build step; the linker script puts it last in flash.
   volatile: without it GCC folds the placeholder into the comparison. */
__attribute__((section(".crc_value"), used))
const volatile uint32_t crc_value = 0xFFFFFFFFu;

static volatile uint32_t ticks;

/* First word of RAM, outside .bss: the startup code does not clear it. */
__attribute__((section(".boot_status"), used)) volatile uint32_t boot_status;

/* CRC-32/MPEG-2: polynomial 0x04C11DB7, initial value 0xFFFFFFFF, MSB first,
   no final XOR, fed one byte at a time. An STM32 CRC unit gives the same
   value only when it is fed bytes too (parts whose data register takes 8-bit
   writes); fed 32-bit words read from little-endian flash, as on F1/F2/F4/L1
   and by HAL_CRC_Calculate on words, it does not, unless each word is fed
   byte-reversed (__REV), or velk-crc is run with --words. docs/guide.md
   shows each. */
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

static int flash_is_intact(void)
{
    const uint8_t *end = (const uint8_t *)&crc_value;
    return crc32_mpeg2(FLASH_START, (uint32_t)(end - FLASH_START)) == crc_value;
}

static void application(void)
{
    for (;;)
        ++ticks;
}

static void safe_state(void)
{
    for (;;)
        __asm volatile("wfi");
}

void reset_handler(void)
{
    boot_status = BOOT_STARTED;
    for (uint32_t *p = &__bss_start; p < &__bss_end; ++p)
        *p = 0;
    if (flash_is_intact()) {
        boot_status = BOOT_OK;
        application();
    }
    boot_status = BOOT_CRC_BAD;
    safe_state();
}

void default_handler(void)
{
    for (;;) {
    }
}

__attribute__((section(".vectors"), used))
void (*const vector_table[16])(void) = {
    (void (*)(void))&__stack_top,
    reset_handler,
    default_handler, /* NMI */
    default_handler, /* HardFault */
    default_handler, /* MemManage */
    default_handler, /* BusFault */
    default_handler, /* UsageFault */
    0, 0, 0, 0,
    default_handler, /* SVCall */
    default_handler, /* DebugMonitor */
    0,
    default_handler, /* PendSV */
    default_handler, /* SysTick */
};

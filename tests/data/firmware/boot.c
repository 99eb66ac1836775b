/* Cortex-M4 firmware (the STM32F405 of QEMU's netduinoplus2) that checks
   its own flash at boot, the way a product would, and leaves the outcome in
   the first RAM word for a test to read through the QEMU monitor.

   Built several ways by build.sh:
     default        initialised .data, checksum slot after .data's load image
     -DSLOT_IN_RAM  the slot declared without const: it lives in .data
     -DNO_DATA      no initialised data: one flash segment
     -DWORD_FED     default layout, but the check models the STM32 CRC unit
                    fed 32-bit words read from flash: each little-endian word
                    goes in most significant byte first
     -DWITH_BSS     default layout plus a zero-initialised global in .bss
     -DWITH_SPARE   default layout plus a second slot nothing refers to, which
                    a build with -g and --gc-sections drops while its
                    debugging information still names it
     -DRESET_WORDS  the words the core reads at reset in a section of their
                    own ahead of the vector table, which boot_aligned.ld
                    puts on a 512-byte boundary as VTOR needs */
#include <stdint.h>

#define BOOT_STARTED   0x57A27ED0u
#define BOOT_OK        0x600DC0DEu
#define BOOT_CRC_BAD   0xBAD0C5C5u
#define BOOT_DATA_BAD  0xBAD0DA7Au

#define FLASH_START ((const uint8_t *)0x08000000u)

extern uint32_t __data_start, __data_end, __data_load, __bss_start, __bss_end, __stack_top;

/* Outside .bss: the startup code must not clear it. */
__attribute__((section(".boot_status"), used)) volatile uint32_t boot_status;

#ifdef SLOT_IN_RAM
volatile uint32_t crc_value = 0xFFFFFFFFu;
#else
/* volatile: GCC would otherwise fold the placeholder into the check. */
__attribute__((section(".crc_value"), used)) const volatile uint32_t crc_value = 0xFFFFFFFFu;
#endif

#ifndef NO_DATA
uint32_t SystemCoreClock = 168000000u;
uint32_t counters[8] = {1, 2, 3, 4, 5, 6, 7, 8};
#endif

#ifdef WITH_SPARE
__attribute__((section(".spare_crc"))) const volatile uint32_t spare_crc = 0xFFFFFFFFu;
#endif

#ifdef WITH_BSS
/* Cleared by the startup code, never stored in flash. */
uint32_t bss_word;
#endif

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

#ifdef WORD_FED
/* What the STM32 CRC unit computes when the flash is written to CRC->DR one
   word at a time: the unit shifts in bit 31 first, so each little-endian
   word's bytes b0 b1 b2 b3 enter as b3 b2 b1 b0. */
static uint32_t crc32_stm32_words(const uint32_t *words, uint32_t count)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < count; ++i) {
        crc ^= words[i];
        for (int bit = 0; bit < 32; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}
#endif

static int data_is_right(void)
{
#ifdef NO_DATA
    return 1;
#else
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i)
        sum += counters[i];
#ifdef WITH_BSS
    /* The startup code must have cleared .bss. */
    if (bss_word != 0u)
        return 0;
#endif
    return SystemCoreClock == 168000000u && sum == 36u;
#endif
}

void reset_handler(void)
{
    boot_status = BOOT_STARTED;
    const uint32_t *src = &__data_load;
    for (uint32_t *dst = &__data_start; dst < &__data_end;)
        *dst++ = *src++;
    for (uint32_t *p = &__bss_start; p < &__bss_end; ++p)
        *p = 0;

    const uint8_t *end = (const uint8_t *)&crc_value;
#ifdef SLOT_IN_RAM
    end = (const uint8_t *)&__data_load;
#endif
#ifdef WORD_FED
    /* The slot is word-aligned, so the range is whole words. */
    uint32_t computed = crc32_stm32_words((const uint32_t *)FLASH_START,
                                          (uint32_t)(end - FLASH_START) / 4u);
#else
    uint32_t computed = crc32_mpeg2(FLASH_START, (uint32_t)(end - FLASH_START));
#endif
    if (computed != crc_value)
        boot_status = BOOT_CRC_BAD;
    else if (!data_is_right())
        boot_status = BOOT_DATA_BAD;
    else
        boot_status = BOOT_OK;
    for (;;)
        __asm volatile("wfi");
}

#include "vectors.h"

#ifdef RESET_WORDS
/* The initial stack pointer, the reset vector and the NMI and HardFault
   handlers: all the core needs before the program points VTOR at the full
   table. */
__attribute__((section(".reset_words"), used))
void (*const reset_words[4])(void) = {
    (void (*)(void))&__stack_top, reset_handler, default_handler, default_handler,
};
#endif

/* Cortex-M4 firmware (the STM32F405 of QEMU's netduinoplus2) whose image a
   bootloader checks two ways, each with its own algorithm, the way an image
   is built for an STM32 bootloader that keeps a zlib header:
     app_crc         the last word of the image: CRC-32/MPEG-2 as the STM32
                     CRC unit computes it, fed the image's 32-bit words from
                     its start up to app_crc, except app_header.crc, which
                     it skips (that word covers app_crc in turn)
     app_header.crc  zlib's crc32 (CRC-32/ISO-HDLC) of the body: from the
                     header's end to the image's end, app_crc included
     app_header.size the body's length
   A field still holding its placeholder (0xFFFFFFFF) fails the boot. The
   outcome goes to the first RAM word for a test to read through the QEMU
   monitor.

   Header layout: magic@0 size@4 crc@8 reserved@12, 16 bytes at
   0x08000040. */
#include <stddef.h>
#include <stdint.h>

#define BOOT_STARTED       0x57A27ED0u
#define BOOT_OK            0x600DC0DEu
#define BOOT_CRC_BAD       0xBAD0C5C5u
#define BOOT_DATA_BAD      0xBAD0DA7Au
#define BOOT_SIZE_BAD      0xBAD0512Eu
#define BOOT_HCRC_BAD      0xBAD0EC5Cu
#define BOOT_HEADER_EMPTY  0xBAD0E397u

#define FLASH_START ((const volatile uint32_t *)0x08000000u)

struct app_header {
    uint32_t magic;
    uint32_t size;
    uint32_t crc;
    uint32_t reserved;
};

_Static_assert(sizeof(struct app_header) == 16, "header is 16 bytes");
_Static_assert(offsetof(struct app_header, crc) == 8, "crc@8");

/* volatile: GCC would otherwise fold the placeholders into the checks. */
__attribute__((section(".app_header"), used))
const volatile struct app_header app_header = {
    .magic = 0x48445231u,
    .size = 0xFFFFFFFFu,
    .crc = 0xFFFFFFFFu,
    .reserved = 0xFFFFFFFFu,
};

__attribute__((section(".app_crc"), used)) const volatile uint32_t app_crc = 0xFFFFFFFFu;

extern uint32_t __data_start, __data_end, __data_load, __bss_start, __bss_end, __stack_top;
extern const uint8_t __image_end[];

/* Outside .bss: the startup code must not clear it. */
__attribute__((section(".boot_status"), used)) volatile uint32_t boot_status;

uint32_t SystemCoreClock = 168000000u;
uint32_t counters[8] = {1, 2, 3, 4, 5, 6, 7, 8};

/* The STM32 CRC unit written one word at a time: bit 31 first, so each
   little-endian word's bytes b0 b1 b2 b3 enter as b3 b2 b1 b0. */
static uint32_t stm32_crc_feed(uint32_t crc, const volatile uint32_t *from,
                               const volatile uint32_t *to)
{
    for (const volatile uint32_t *word = from; word < to; ++word) {
        crc ^= *word;
        for (int bit = 0; bit < 32; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

/* zlib's crc32(): reflected 0x04C11DB7, init and final XOR 0xFFFFFFFF. */
static uint32_t zlib_crc32(const volatile uint8_t *data, uint32_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

static int data_is_right(void)
{
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i)
        sum += counters[i];
    return SystemCoreClock == 168000000u && sum == 36u;
}

static uint32_t check_image(void)
{
    if (app_header.size == 0xFFFFFFFFu || app_header.crc == 0xFFFFFFFFu
        || app_crc == 0xFFFFFFFFu)
        return BOOT_HEADER_EMPTY;

    /* The unit is fed up to the header's crc word, then on from the word
       after it. */
    const volatile uint32_t *skipped = &app_header.crc;
    uint32_t unit = stm32_crc_feed(0xFFFFFFFFu, FLASH_START, skipped);
    unit = stm32_crc_feed(unit, skipped + 1, &app_crc);
    if (unit != app_crc)
        return BOOT_CRC_BAD;

    /* Worked out from the linker's symbols, never from the header. */
    const volatile uint8_t *body = (const volatile uint8_t *)(&app_header + 1);
    const uint32_t length = (uint32_t)(__image_end - (const uint8_t *)body);
    if (app_header.size != length)
        return BOOT_SIZE_BAD;
    if (zlib_crc32(body, length) != app_header.crc)
        return BOOT_HCRC_BAD;
    return data_is_right() ? BOOT_OK : BOOT_DATA_BAD;
}

void reset_handler(void)
{
    boot_status = BOOT_STARTED;
    const uint32_t *src = &__data_load;
    for (uint32_t *dst = &__data_start; dst < &__data_end;)
        *dst++ = *src++;
    for (uint32_t *p = &__bss_start; p < &__bss_end; ++p)
        *p = 0;

    boot_status = check_image();
    for (;;)
        __asm volatile("wfi");
}

#include "vectors.h"

/* Cortex-M4 firmware (the STM32F405 of QEMU's netduinoplus2) whose image
   starts with a header after the vector table, checked at boot the way a
   bootloader checks an application before jumping to it. The outcome goes
   to the first RAM word for a test to read through the QEMU monitor.

   The header (app_header, 32 bytes at 0x08000040) carries three fields a
   post-build step fills in; a field still holding its placeholder (every
   byte 0xFF, as left by the compiler) is not checked, but at least one must
   be filled:
     size  4 bytes, the body's length
     crc   the checksum of the body, the algorithm's width
     hcrc  the checksum of the header's bytes before hcrc, as they are in
           flash (size and crc included)
   The body runs from the header's end to __image_end rounded up to a
   multiple of 4; the rounding bytes count as 0xFF, whatever flash holds.

   The algorithm is chosen when building:
     -DCRC32_ISO_HDLC  CRC-32/ISO-HDLC (zlib's crc32): reflected 0x04C11DB7,
                       init and xorout 0xFFFFFFFF
     -DCRC32_MPEG2     CRC-32/MPEG-2: 0x04C11DB7 not reflected, init
                       0xFFFFFFFF, xorout 0 (the STM32 CRC unit's)
     -DCRC16_XMODEM    CRC-16/XMODEM: 0x1021 not reflected, init 0, xorout 0
   Field layout (offsets from the header's start):
     32-bit algorithms  magic@0 version@4 size@8 crc@12 (4) hcrc@16 (4)
                        reserved@20..31
     CRC-16/XMODEM      magic@0 version@4 size@8 crc@12 (2) hcrc@14 (2)
                        reserved@16..31
   Fields are little-endian, big-endian with -DBIG_ENDIAN_FIELDS. */
#include <stddef.h>
#include <stdint.h>

#define BOOT_STARTED       0x57A27ED0u
#define BOOT_OK            0x600DC0DEu
#define BOOT_CRC_BAD       0xBAD0C5C5u
#define BOOT_DATA_BAD      0xBAD0DA7Au
#define BOOT_SIZE_BAD      0xBAD0512Eu
#define BOOT_HCRC_BAD      0xBAD0EC5Cu
#define BOOT_HEADER_EMPTY  0xBAD0E397u

#define FLASH_START ((const uint8_t *)0x08000000u)

#if defined(CRC32_ISO_HDLC) + defined(CRC32_MPEG2) + defined(CRC16_XMODEM) != 1
#error "choose one of CRC32_ISO_HDLC, CRC32_MPEG2, CRC16_XMODEM"
#endif

#ifdef CRC16_XMODEM
typedef uint16_t crc_t;
#else
typedef uint32_t crc_t;
#endif

struct app_header {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    crc_t crc;
    crc_t hcrc;
#ifdef CRC16_XMODEM
    uint32_t reserved[4];
#else
    uint32_t reserved[3];
#endif
};

_Static_assert(sizeof(struct app_header) == 32, "header is 32 bytes");
_Static_assert(offsetof(struct app_header, size) == 8, "size@8");
_Static_assert(offsetof(struct app_header, crc) == 12, "crc@12");
_Static_assert(offsetof(struct app_header, hcrc) == 12 + sizeof(crc_t), "hcrc after crc");

/* volatile: GCC would otherwise fold the placeholders into the checks. */
__attribute__((section(".app_header"), used))
const volatile struct app_header app_header = {
    .magic = 0x48445231u,
    .version = 0x00010002u,
    .size = 0xFFFFFFFFu,
    .crc = (crc_t)0xFFFFFFFFu,
    .hcrc = (crc_t)0xFFFFFFFFu,
#ifdef CRC16_XMODEM
    .reserved = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
#else
    .reserved = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
#endif
};

extern uint32_t __data_start, __data_end, __data_load, __bss_start, __bss_end, __stack_top;
extern const uint8_t __image_end[];

/* Outside .bss: the startup code must not clear it. */
__attribute__((section(".boot_status"), used)) volatile uint32_t boot_status;

uint32_t SystemCoreClock = 168000000u;
uint32_t counters[8] = {1, 2, 3, 4, 5, 6, 7, 8};
/* Last in .data and three bytes long, so the image ends off a word
   boundary. */
__attribute__((section(".image_tail"), used)) char image_tail[3] = {'e', 'n', 'd'};

static const char banner[] = "image with header";

static crc_t crc_begin(void)
{
#ifdef CRC16_XMODEM
    return 0;
#else
    return 0xFFFFFFFFu;
#endif
}

static crc_t crc_feed(crc_t crc, uint8_t byte)
{
#if defined(CRC32_ISO_HDLC)
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
#elif defined(CRC32_MPEG2)
    crc ^= (uint32_t)byte << 24;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
#else
    crc ^= (uint16_t)(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x8000u) ? (uint16_t)((crc << 1) ^ 0x1021u) : (uint16_t)(crc << 1);
#endif
    return crc;
}

static crc_t crc_end(crc_t crc)
{
#ifdef CRC32_ISO_HDLC
    return crc ^ 0xFFFFFFFFu;
#else
    return crc;
#endif
}

static crc_t crc_of(const volatile uint8_t *data, uint32_t length)
{
    crc_t crc = crc_begin();
    for (uint32_t i = 0; i < length; ++i)
        crc = crc_feed(crc, data[i]);
    return crc_end(crc);
}

/* A header field of `width` bytes at `offset`, in the image's byte order. */
static uint32_t field(size_t offset, size_t width)
{
    const volatile uint8_t *p = (const volatile uint8_t *)&app_header + offset;
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
#ifdef BIG_ENDIAN_FIELDS
        value = (value << 8) | p[i];
#else
        value |= (uint32_t)p[i] << (8 * i);
#endif
    }
    return value;
}

static int is_placeholder(uint32_t value, size_t width)
{
    return value == (width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1u);
}

static int data_is_right(void)
{
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i)
        sum += counters[i];
    uint32_t text = 0;
    for (const volatile char *c = banner; *c; ++c)
        text += (uint8_t)*c;
    return SystemCoreClock == 168000000u && sum == 36u && image_tail[0] == 'e'
           && image_tail[2] == 'd' && text == 1640u;
}

static uint32_t check_header(void)
{
    const size_t size_at = offsetof(struct app_header, size);
    const size_t crc_at = offsetof(struct app_header, crc);
    const size_t hcrc_at = offsetof(struct app_header, hcrc);
    const uint32_t size = field(size_at, 4);
    const uint32_t crc = field(crc_at, sizeof(crc_t));
    const uint32_t hcrc = field(hcrc_at, sizeof(crc_t));
    const int has_size = !is_placeholder(size, 4);
    const int has_crc = !is_placeholder(crc, sizeof(crc_t));
    const int has_hcrc = !is_placeholder(hcrc, sizeof(crc_t));
    if (!has_size && !has_crc && !has_hcrc)
        return BOOT_HEADER_EMPTY;

    /* Worked out from the linker's symbols, never from the header. */
    const uint8_t *body = (const uint8_t *)&app_header + sizeof(struct app_header);
    const uint32_t stored = (uint32_t)(__image_end - body);
    const uint32_t length = (uint32_t)(((uint32_t)(__image_end - FLASH_START) + 3u) & ~3u)
                            - (uint32_t)(body - FLASH_START);

    if (has_size && size != length)
        return BOOT_SIZE_BAD;
    if (has_crc) {
        crc_t running = crc_begin();
        const volatile uint8_t *flash = body;
        for (uint32_t i = 0; i < stored; ++i)
            running = crc_feed(running, flash[i]);
        for (uint32_t i = stored; i < length; ++i)
            running = crc_feed(running, 0xFFu);
        if (crc_end(running) != crc)
            return BOOT_CRC_BAD;
    }
    if (has_hcrc && crc_of((const volatile uint8_t *)&app_header, hcrc_at) != hcrc)
        return BOOT_HCRC_BAD;
    return data_is_right() ? BOOT_OK : BOOT_DATA_BAD;
}

void reset_handler(void)
{
    boot_status = BOOT_STARTED;
    /* A byte at a time: .data's size is not a multiple of 4. */
    const volatile uint8_t *src = (const uint8_t *)&__data_load;
    for (uint8_t *dst = (uint8_t *)&__data_start; dst < (uint8_t *)&__data_end;)
        *dst++ = *src++;
    for (uint32_t *p = &__bss_start; p < &__bss_end; ++p)
        *p = 0;

    boot_status = check_header();
    for (;;)
        __asm volatile("wfi");
}

#include "vectors.h"

/* Firmware for QEMU's netduinoplus2 (STM32F405) that reports, on USART1, the
   serial number, MAC address and key stamped into its flash, and whether its
   own CRC-32/MPEG-2 over flash up to crc_value matches. */
#include <stdint.h>

#define USART1_SR  (*(volatile uint32_t *)0x40011000u)
#define USART1_DR  (*(volatile uint32_t *)0x40011004u)
#define USART1_CR1 (*(volatile uint32_t *)0x4001100Cu)
#define FLASH_START ((const uint8_t *)0x08000000u)

extern uint32_t __data_start, __data_end, __data_load, __bss_start, __bss_end, __stack_top;

/* Stamped per device by velk-crc. volatile: without it GCC folds the
   placeholder into every read, and the firmware never sees its own serial. */
__attribute__((section(".device_data"), used)) const volatile uint32_t serial_no = 0xFFFFFFFFu;
__attribute__((section(".device_data"), used)) const volatile uint8_t mac_addr[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
__attribute__((section(".device_data"), used)) const volatile uint8_t device_key[32] = {0};
__attribute__((section(".crc_value"), used)) const volatile uint32_t crc_value = 0xFFFFFFFFu;

static void put(char c)
{
    while (!(USART1_SR & 0x80u)) {
    }
    USART1_DR = (uint8_t)c;
}

static void puts_(const char *s)
{
    while (*s)
        put(*s++);
}

static void put_hex(uint32_t v, int digits)
{
    for (int i = digits - 1; i >= 0; --i)
        put("0123456789abcdef"[(v >> (4 * i)) & 0xFu]);
}

static void put_dec(uint32_t v)
{
    char text[11];
    int n = 0;
    do {
        text[n++] = (char)('0' + v % 10u);
        v /= 10u;
    } while (v);
    while (n)
        put(text[--n]);
}

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
    const uint32_t *src = &__data_load;
    for (uint32_t *dst = &__data_start; dst < &__data_end;)
        *dst++ = *src++;
    for (uint32_t *p = &__bss_start; p < &__bss_end; ++p)
        *p = 0;
    USART1_CR1 = (1u << 13) | (1u << 3); /* UE, TE */

    puts_("serial ");
    put_dec(serial_no);
    puts_(" mac ");
    for (int i = 0; i < 6; ++i) {
        if (i)
            put(':');
        put_hex(mac_addr[i], 2);
    }
    puts_(" key ");
    for (int i = 0; i < 4; ++i)
        put_hex(device_key[i], 2);
    uint32_t length = (uint32_t)((const uint8_t *)&crc_value - FLASH_START);
    uint32_t computed = crc32_mpeg2(FLASH_START, length);
    puts_(computed == crc_value ? " crc ok " : " crc bad ");
    put_hex(computed, 8);
    put('\n');
    for (;;)
        __asm volatile("wfi");
}

#include "vectors.h"

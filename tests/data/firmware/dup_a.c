/* One of two files that each define a static crc_value in flash. */
#include <stdint.h>

__attribute__((section(".crc_value.a"), used))
static const volatile uint32_t crc_value = 0x11111111u;

uint32_t read_a(void)
{
    return crc_value;
}

int main(void);

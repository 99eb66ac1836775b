/* Built with -funwind-tables: the linker lists the EXIDX program header
   before the flash LOAD. */
#include <stdint.h>

__attribute__((section(".crc_value"), used)) const volatile uint32_t crc_value = 0;

static volatile uint32_t sink;

__attribute__((noinline)) static void step(uint32_t v)
{
    sink += v;
}

int main(void)
{
    for (uint32_t i = 0; i < 4; ++i)
        step(i + crc_value);
    return 0;
}

/* The second static crc_value: the symbol table lists it after dup_a's. */
#include <stdint.h>

__attribute__((section(".crc_value.b"), used))
static const volatile uint32_t crc_value = 0x22222222u;

uint32_t read_a(void);

uint32_t read_b(void)
{
    return crc_value;
}

int main(void)
{
    return (int)(read_a() + read_b());
}

/* Initialised RAM data: its initial values get a PT_LOAD of their own at a
   flash address after the code. */
#include <stdint.h>

__attribute__((section(".crc_value"), used)) const volatile uint32_t crc_value = 0;

volatile uint32_t counters[8] = {1, 2, 3, 4, 5, 6, 7, 8};
volatile const char *banner = "firmware v1.0";

int main(void)
{
    for (unsigned i = 0; i < 8; ++i)
        counters[i] += crc_value;
    return (int)counters[0];
}

/* Reset handler and vector table shared by the test firmware. */
#include <stdint.h>

extern uint32_t __data_start, __data_end, __data_load, __stack_top;
int main(void);

void reset_handler(void)
{
    const uint32_t *src = &__data_load;
    for (uint32_t *dst = &__data_start; dst < &__data_end;)
        *dst++ = *src++;
    main();
    for (;;) {
    }
}

__attribute__((section(".vectors"), used))
void (*const vector_table[4])(void) = {
    (void (*)(void))&__stack_top, reset_handler, reset_handler, reset_handler,
};

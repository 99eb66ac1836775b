// The Cortex-M vector table every test firmware starts with: the initial
// stack pointer, reset_handler (each firmware's own), and a handler that
// stops for every fault. Included last, after __stack_top and
// reset_handler are declared.

void default_handler(void)
{
    for (;;) {
    }
}

// The table's section: .vectors unless the build names another (the
// guide's linker snippets keep .isr_vector).
#ifndef VECTORS_SECTION
#define VECTORS_SECTION ".vectors"
#endif

__attribute__((section(VECTORS_SECTION), used))
void (*const vector_table[16])(void) = {
    (void (*)(void))&__stack_top,
    reset_handler,
    default_handler, default_handler, default_handler, default_handler, default_handler,
    0, 0, 0, 0,
    default_handler, default_handler, 0, default_handler, default_handler,
};

/* A minimal Cortex-M4 bootloader for QEMU's netduinoplus2 (STM32F405): it
   sits in the first 16 KiB of flash (bootloader.ld), leaves a marker of its
   own in RAM, points VTOR at the application's vector table at 0x08004000
   and starts the application with its own initial stack pointer and reset
   vector. The application (bootloaded_app.c) keeps its status word at
   0x20000000; the marker is elsewhere so that neither disturbs the other. */
#include <stdint.h>

#define APP_BASE        0x08004000u
#define SCB_VTOR        (*(volatile uint32_t *)0xE000ED08u)
#define BOOTLOADER_RAN  0xB007104Du
#define MARKER          (*(volatile uint32_t *)0x20010000u)

extern uint32_t __stack_top;

void reset_handler(void)
{
    const volatile uint32_t *app = (const volatile uint32_t *)APP_BASE;
    MARKER = BOOTLOADER_RAN;
    SCB_VTOR = APP_BASE;
    __asm volatile("dsb\n\tisb" ::: "memory");
    uint32_t stack = app[0], entry = app[1];
    __asm volatile("msr msp, %0\n\tbx %1" : : "r"(stack), "r"(entry) : "memory");
    __builtin_unreachable();
}

#include "vectors.h"

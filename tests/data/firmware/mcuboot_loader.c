/* A test bootloader for signed images, for QEMU's netduinoplus2: the first
   16 KiB of flash (bootloader.ld). It reads the image header at the slot's
   start (0x08004000, or SLOT as the build defines it), walks the TLV areas
   behind the image, recomputes the SHA-256 of the header, the image and the
   protected TLVs and compares it with the image's hash TLV, as MCUboot's
   boot check does. Only when they match does it point VTOR at the vector
   table behind the header and start the application; otherwise it leaves
   why in the first RAM word, where the application leaves its own status. */
#include <stdint.h>

#ifndef SLOT
#define SLOT            0x08004000u  /* the slot's start; a build may place it elsewhere */
#endif
#define SCB_VTOR        (*(volatile uint32_t *)0xE000ED08u)
#define STATUS          (*(volatile uint32_t *)0x20000000u)

#define IMAGE_MAGIC     0x96F3B83Du
#define TLV_INFO        0x6907u
#define TLV_PROT_INFO   0x6908u
#define TLV_SHA256      0x10u

#define BOOT_MAGIC_BAD  0xBAD04A61u
#define BOOT_TLV_BAD    0xBAD0714Fu
#define BOOT_HASH_BAD   0xBAD0A54Au

extern uint32_t __stack_top;

static uint32_t read16(const uint8_t *p) { return p[0] | (uint32_t)p[1] << 8; }
static uint32_t read32(const uint8_t *p) { return read16(p) | read16(p + 2) << 16; }

/* SHA-256 (FIPS 180-4), small and slow: the test image is a few KiB. */
static const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

#define ROR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

static void sha256_block(uint32_t h[8], const uint8_t *block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 |
               (uint32_t)block[4 * i + 2] << 8 | block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = ROR(w[i - 15], 7) ^ ROR(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = ROR(w[i - 2], 17) ^ ROR(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = k + (ROR(e, 6) ^ ROR(e, 11) ^ ROR(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        uint32_t t2 = (ROR(a, 2) ^ ROR(a, 13) ^ ROR(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

static void sha256(const uint8_t *data, uint32_t length, uint8_t digest[32])
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint32_t done = 0;
    for (; length - done >= 64; done += 64)
        sha256_block(h, data + done);
    uint8_t last[128];
    uint32_t rest = length - done;
    for (uint32_t i = 0; i < sizeof last; ++i)
        last[i] = i < rest ? data[done + i] : 0;
    last[rest] = 0x80;
    uint32_t blocks = rest < 56 ? 1 : 2;
    uint64_t bits = (uint64_t)length * 8;
    for (int i = 0; i < 8; ++i)
        last[blocks * 64 - 1 - i] = (uint8_t)(bits >> (8 * i));
    for (uint32_t i = 0; i < blocks; ++i)
        sha256_block(h, last + 64 * i);
    for (int i = 0; i < 32; ++i)
        digest[i] = (uint8_t)(h[i / 4] >> (24 - 8 * (i % 4)));
}

/* Why the image in the slot may not start; 0 when it may. */
static uint32_t refusal(const uint8_t *slot)
{
    if (read32(slot) != IMAGE_MAGIC)
        return BOOT_MAGIC_BAD;
    uint32_t header = read16(slot + 8), protected_size = read16(slot + 10);
    uint32_t hashed = header + read32(slot + 12) + protected_size;
    const uint8_t *tlv = slot + hashed;
    if (protected_size && read16(tlv - protected_size) != TLV_PROT_INFO)
        return BOOT_TLV_BAD;
    if (read16(tlv) != TLV_INFO)
        return BOOT_TLV_BAD;
    const uint8_t *end = tlv + read16(tlv + 2);
    uint8_t digest[32];
    sha256(slot, hashed, digest);
    for (const uint8_t *entry = tlv + 4; entry + 4 <= end; entry += 4 + read16(entry + 2)) {
        if (entry[0] != TLV_SHA256 || read16(entry + 2) != 32)
            continue;
        for (int i = 0; i < 32; ++i)
            if (entry[4 + i] != digest[i])
                return BOOT_HASH_BAD;
        return 0;
    }
    return BOOT_TLV_BAD;
}

void reset_handler(void)
{
    const uint8_t *slot = (const uint8_t *)SLOT;
    uint32_t why = refusal(slot);
    if (why) {
        STATUS = why;
        for (;;)
            __asm volatile("wfi");
    }
    const volatile uint32_t *app = (const volatile uint32_t *)(SLOT + read16(slot + 8));
    SCB_VTOR = (uint32_t)app;
    __asm volatile("dsb\n\tisb" ::: "memory");
    uint32_t stack = app[0], entry = app[1];
    __asm volatile("msr msp, %0\n\tbx %1" : : "r"(stack), "r"(entry) : "memory");
    __builtin_unreachable();
}

#include "vectors.h"

/* A signed image judged by MCUboot's own image check on the host: the slot
   is read from a file (erased flash past its end), the bootloader holds the
   one public key given (DER, as the image's key hash hashes it). What the
   bootloader needs of its platform (flash reads, the log, the allocator)
   is here; the check itself is MCUboot's, built from its sources.
   Prints "accepted" (exit 0) or "refused" (exit 1). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "bootutil/image.h"
#include "bootutil/sign_key.h"
#include "bootutil/fault_injection_hardening.h"
#include "flash_map_backend/flash_map_backend.h"

static unsigned char slot[0x200000];
static size_t slot_size;
static unsigned char pub[1024];
static unsigned int pub_len;

const struct bootutil_key bootutil_keys[1] = {{pub, &pub_len}};
const int bootutil_key_cnt = 1;

int flash_area_read(const struct flash_area *fa, uint32_t off, void *dst, uint32_t len) {
    (void)fa;
    if (off > slot_size || len > slot_size - off) {
        memset(dst, 0xFF, len);
        if (off < slot_size) memcpy(dst, slot + off, slot_size - off);
        return 0;
    }
    memcpy(dst, slot + off, len);
    return 0;
}
uint8_t flash_area_erased_val(const struct flash_area *fa) { (void)fa; return 0xFF; }
int flash_area_open(uint8_t id, const struct flash_area **fa) { (void)id; (void)fa; return -1; }
void flash_area_close(const struct flash_area *fa) { (void)fa; }
uint32_t bootutil_max_image_size(struct boot_loader_state *state, const struct flash_area *fap) {
    (void)state; return flash_area_get_size(fap);
}

int sim_log_enabled(int level) { (void)level; return 0; }
fih_ret boot_fih_memequal(const void *a, const void *b, size_t n) {
    return memcmp(a, b, n) ? FIH_FAILURE : FIH_SUCCESS;
}
void *mbedtls_calloc(size_t n, size_t size) { return calloc(n, size); }
void mbedtls_free(void *p) { free(p); }

static size_t load(const char *path, unsigned char *out, size_t max) {
    FILE *f = fopen(path, "rb");
    if (!f) { perror(path); exit(3); }
    size_t n = fread(out, 1, max, f);
    fclose(f);
    return n;
}

int main(int argc, char **argv) {
    if (argc != 4) { fprintf(stderr, "usage: judge <slot.bin> <slot size> <pubkey.der>\n"); return 3; }
    memset(slot, 0xFF, sizeof slot);
    slot_size = load(argv[1], slot, sizeof slot);
    unsigned long size = strtoul(argv[2], NULL, 0);
    pub_len = (unsigned)load(argv[3], pub, sizeof pub);
    struct flash_area fa = {0};
    fa.fa_off = 0;
    fa.fa_size = size;
    struct image_header hdr;
    memcpy(&hdr, slot, sizeof hdr);
    if (hdr.ih_magic != IMAGE_MAGIC) { puts("refused: no magic"); return 1; }
    static uint8_t tmp[1024];
    FIH_DECLARE(rc, FIH_FAILURE);
    FIH_CALL(bootutil_img_validate, rc, NULL, &hdr, &fa, tmp, sizeof tmp, NULL, 0, NULL);
    if (FIH_EQ(rc, FIH_SUCCESS)) { puts("accepted"); return 0; }
    puts("refused");
    return 1;
}

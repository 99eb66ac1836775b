/* A bootloader on the host, to judge an image as MCUboot would on the device.

   The flash is one device in memory holding each image's primary and
   secondary slots and a scratch area, each cut into equal sectors. An image
   file is a slot's content from its first byte (the image header); a
   bootloader built for two images takes the second with --image1. MCUboot's
   own boot_go() then decides, compiled from its sources with the
   configuration's -D words:

     boot     the image lies in the primary slot; the bootloader validates it
              before it starts it (MCUBOOT_VALIDATE_PRIMARY_SLOT);
     upgrade  the image lies in the secondary slot; the primary slot holds a
              copy with one payload byte changed, as an old image the
              bootloader no longer starts; a trailer is written to request a
              test upgrade where the image carries none. The bootloader must
              validate the secondary slot, move the image in and start it.

   The bootloader holds one public key: the bytes of the key file as MCUboot's
   keys.c holds them (RSA: PKCS#1 RSAPublicKey DER; ECDSA and Ed25519:
   SubjectPublicKeyInfo DER). Built with MCUBOOT_HW_KEY it holds the key's
   SHA-256 instead, and the image must carry the key itself.

   Exit status: 0 the bootloader would start the image, 1 it would not,
   2 the run itself failed (a file, an option). */

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <bootutil/bootutil.h>
#include <bootutil/bootutil_public.h>
#include <bootutil/crypto/sha.h>
#include <bootutil/image.h>
#include <bootutil/security_cnt.h>
#include <bootutil/sign_key.h>
#include <flash_map_backend/flash_map_backend.h>
#include <sysflash/sysflash.h>

/* the loader state boot_go() works in */
#include "bootutil_priv.h"

#if defined(MCUBOOT_USE_MBED_TLS) || defined(MBEDTLS_CONFIG_FILE)
#include <mbedtls/platform.h>
#endif

#define AREA_COUNT (2 * MCUBOOT_IMAGE_NUMBER + 1)

static struct {
    uint8_t *bytes;
    uint32_t size;
    uint32_t sector_size;
    uint32_t align;
    uint8_t erased;
    struct flash_area areas[AREA_COUNT];
} flash;

static int log_level;

int oracle_log_level(void)
{
    return log_level;
}

/* ---- The flash map ---------------------------------------------------- */

static const struct flash_area *area_by_id(int id)
{
    for (int i = 0; i < AREA_COUNT; i++) {
        if (flash.areas[i].fa_id == id) {
            return &flash.areas[i];
        }
    }
    return NULL;
}

static int within(const struct flash_area *area, uint32_t off, uint32_t len)
{
    return off <= area->fa_size && len <= area->fa_size - off;
}

int flash_device_base(uint8_t fd_id, uintptr_t *ret)
{
    if (fd_id != FLASH_DEVICE_ID) {
        return -1;
    }
    /* The flash is mapped where its bytes lie: a pure signature is checked
     * over the image read in place there. */
    *ret = (uintptr_t)flash.bytes;
    return 0;
}

int flash_area_open(uint8_t id, const struct flash_area **area)
{
    *area = area_by_id(id);
    return *area == NULL ? -1 : 0;
}

void flash_area_close(const struct flash_area *area)
{
    (void)area;
}

int flash_area_read(const struct flash_area *area, uint32_t off, void *dst, uint32_t len)
{
    if (!within(area, off, len)) {
        return -1;
    }
    memcpy(dst, flash.bytes + area->fa_off + off, len);
    return 0;
}

/* NOR flash: a write only clears bits of erased bytes, so writing a byte
   that is not erased is the bootloader's fault and fails the run. */
int flash_area_write(const struct flash_area *area, uint32_t off, const void *src, uint32_t len)
{
    if (!within(area, off, len) || off % flash.align != 0) {
        return -1;
    }
    uint8_t *at = flash.bytes + area->fa_off + off;
    for (uint32_t i = 0; i < len; i++) {
        if (at[i] != flash.erased) {
            fprintf(stderr, "bootutil-oracle: the bootloader wrote over unerased flash at "
                    "area %d + 0x%x\n", area->fa_id, (unsigned)(off + i));
            exit(2);
        }
    }
    memcpy(at, src, len);
    return 0;
}

int flash_area_erase(const struct flash_area *area, uint32_t off, uint32_t len)
{
    if (!within(area, off, len) || off % flash.sector_size != 0 || len % flash.sector_size != 0) {
        return -1;
    }
    memset(flash.bytes + area->fa_off + off, flash.erased, len);
    return 0;
}

uint32_t flash_area_align(const struct flash_area *area)
{
    (void)area;
    return flash.align;
}

uint8_t flash_area_erased_val(const struct flash_area *area)
{
    (void)area;
    return flash.erased;
}

int flash_area_get_sectors(int fa_id, uint32_t *count, struct flash_sector *sectors)
{
    const struct flash_area *area = area_by_id(fa_id);
    if (area == NULL) {
        return -1;
    }
    uint32_t have = area->fa_size / flash.sector_size;
    if (have > *count) {
        return -ENOMEM;
    }
    for (uint32_t i = 0; i < have; i++) {
        sectors[i].fs_off = i * flash.sector_size;
        sectors[i].fs_size = flash.sector_size;
    }
    *count = have;
    return 0;
}

int flash_area_get_sector(const struct flash_area *area, uint32_t off, struct flash_sector *sector)
{
    if (off >= area->fa_size) {
        return -1;
    }
    sector->fs_off = off - off % flash.sector_size;
    sector->fs_size = flash.sector_size;
    return 0;
}

int flash_area_sector_from_off(uint32_t off, struct flash_sector *sector)
{
    return flash_area_get_sector(area_by_id(FLASH_AREA_IMAGE_PRIMARY(0)), off, sector);
}

int flash_area_id_from_multi_image_slot(int image_index, int slot)
{
    (void)image_index;
    switch (slot) {
    case 0: return FLASH_AREA_IMAGE_PRIMARY(image_index);
    case 1: return FLASH_AREA_IMAGE_SECONDARY(image_index);
    case 2: return FLASH_AREA_IMAGE_SCRATCH;
    }
    return -1;
}

int flash_area_id_from_image_slot(int slot)
{
    return flash_area_id_from_multi_image_slot(0, slot);
}

int flash_area_id_to_multi_image_slot(int image_index, int area_id)
{
    (void)image_index;
    if (area_id == FLASH_AREA_IMAGE_PRIMARY(image_index)) {
        return 0;
    }
    if (area_id == FLASH_AREA_IMAGE_SECONDARY(image_index)) {
        return 1;
    }
    return -1;
}

/* ---- The key the bootloader holds ------------------------------------- */

static uint8_t key_bytes[4096];
static unsigned int key_length;

#if !defined(MCUBOOT_HW_KEY)
const struct bootutil_key bootutil_keys[] = {{key_bytes, &key_length}};
#else
/* The image carries the public key; the bootloader holds its hash and takes
   the image's key when the hashes agree. */
unsigned int pub_key_len;
struct bootutil_key bootutil_keys[] = {{NULL, &pub_key_len}};

int boot_retrieve_public_key_hash(uint8_t image_index, uint8_t *public_key_hash,
                                  size_t *key_hash_size)
{
    bootutil_sha_context sha;

    (void)image_index;
    if (*key_hash_size < IMAGE_HASH_SIZE) {
        return -1;
    }
    bootutil_sha_init(&sha);
    bootutil_sha_update(&sha, key_bytes, key_length);
    bootutil_sha_finish(&sha, public_key_hash);
    bootutil_sha_drop(&sha);
    *key_hash_size = IMAGE_HASH_SIZE;
    return 0;
}
#endif
const int bootutil_key_cnt = 1;

/* ---- The rollback counter the device keeps ---------------------------- */

#if defined(MCUBOOT_HW_ROLLBACK_PROT)
static uint32_t device_counter;

fih_ret boot_nv_security_counter_init(void)
{
    return FIH_SUCCESS;
}

fih_ret boot_nv_security_counter_get(uint32_t image_id, fih_int *security_cnt)
{
    (void)image_id;
    *security_cnt = fih_int_encode(device_counter);
    return FIH_SUCCESS;
}

int32_t boot_nv_security_counter_update(uint32_t image_id, uint32_t img_security_cnt)
{
    (void)image_id;
    if (img_security_cnt > device_counter) {
        device_counter = img_security_cnt;
    }
    return 0;
}

fih_ret boot_nv_security_counter_is_update_possible(uint32_t image_id, uint32_t img_security_cnt)
{
    (void)image_id;
    (void)img_security_cnt;
    return FIH_SUCCESS;
}

int32_t boot_nv_security_counter_lock(uint32_t image_id)
{
    (void)image_id;
    return 0;
}
#endif

/* ---- The upgrade's verdict --------------------------------------------- */

/* The bootloader validates the secondary slot before it moves the image in,
   and erases it when the validation fails. The old image in the primary slot
   does not boot, so only a completed upgrade starts; the validations are
   counted too, where the bootloader makes them (the link wraps
   bootutil_img_validate()), to say which step refused. */
static int secondary_validations, secondary_refusals;

fih_ret __real_bootutil_img_validate(struct boot_loader_state *state, struct image_header *hdr,
                                     const struct flash_area *fap, uint8_t *tmp_buf,
                                     uint32_t tmp_buf_sz, uint8_t *seed, int seed_len,
                                     uint8_t *out_hash);

fih_ret __wrap_bootutil_img_validate(struct boot_loader_state *state, struct image_header *hdr,
                                     const struct flash_area *fap, uint8_t *tmp_buf,
                                     uint32_t tmp_buf_sz, uint8_t *seed, int seed_len,
                                     uint8_t *out_hash)
{
    FIH_DECLARE(verdict, FIH_FAILURE);
    FIH_CALL(__real_bootutil_img_validate, verdict, state, hdr, fap, tmp_buf, tmp_buf_sz, seed,
             seed_len, out_hash);
    if (fap->fa_id == FLASH_AREA_IMAGE_SECONDARY(0)
        || fap->fa_id == FLASH_AREA_IMAGE_SECONDARY(MCUBOOT_IMAGE_NUMBER - 1)) {
        secondary_validations++;
        if (FIH_NOT_EQ(verdict, FIH_SUCCESS)) {
            secondary_refusals++;
        }
    }
    FIH_RET(verdict);
}

/* Where the image's TLVs end, from its header and TLV info headers; 0 when
   they do not lie within `size` bytes. */
static uint32_t image_end(const uint8_t *image, uint32_t size)
{
    struct image_header hdr;
    struct image_tlv_info info;

    if (size < sizeof(hdr)) {
        return 0;
    }
    memcpy(&hdr, image, sizeof(hdr));
    uint64_t end = (uint64_t)hdr.ih_hdr_size + hdr.ih_img_size + hdr.ih_protect_tlv_size;
    if (hdr.ih_magic != IMAGE_MAGIC || end + sizeof(info) > size) {
        return 0;
    }
    memcpy(&info, image + end, sizeof(info));
    end += info.it_tlv_tot;
    return end <= size ? (uint32_t)end : 0;
}

/* ---- The run ---------------------------------------------------------- */

static void usage(void)
{
    fprintf(stderr,
            "usage: bootutil-oracle [--upgrade] [--slot-size N] [--sector-size N] [--align N]\n"
            "                       [--erased 0xFF|0x00] [--key DER] [--counter N]\n"
            "                       [--image1 IMAGE] IMAGE\n");
    exit(2);
}

static unsigned long number(const char *word)
{
    char *end;
    errno = 0;
    unsigned long value = strtoul(word, &end, 0);
    if (errno != 0 || *word == '\0' || *end != '\0') {
        fprintf(stderr, "bootutil-oracle: not a number: %s\n", word);
        exit(2);
    }
    return value;
}

static size_t read_file(const char *path, uint8_t *into, size_t room)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        fprintf(stderr, "bootutil-oracle: cannot open %s: %s\n", path, strerror(errno));
        exit(2);
    }
    size_t got = fread(into, 1, room, f);
    int more = fgetc(f) != EOF;
    fclose(f);
    if (more) {
        fprintf(stderr, "bootutil-oracle: %s is larger than 0x%zx bytes\n", path, room);
        exit(2);
    }
    return got;
}

/* An image file into its slot; for an upgrade, also the old image into the
   primary slot: the same bytes to the end of the TLVs, with the first
   payload byte changed, so that only a completed upgrade boots. */
static void place(const char *path, const struct flash_area *slot, const struct flash_area *old)
{
    uint8_t *at = flash.bytes + slot->fa_off;
    uint32_t length = (uint32_t)read_file(path, at, slot->fa_size);
    if (old != NULL) {
        uint32_t end = image_end(at, length);
        uint8_t *copy = flash.bytes + old->fa_off;
        memcpy(copy, at, end);
        if (end != 0) {
            struct image_header hdr;
            memcpy(&hdr, at, sizeof(hdr));
            copy[hdr.ih_hdr_size] ^= 0x01;
        }
    }
}

int main(int argc, char **argv)
{
    uint32_t slot_size = 0x20000;
    int upgrade = 0;
    const char *key_path = NULL;
    const char *image_path = NULL;
    const char *image1_path = NULL;
    unsigned long counter = 0;

    flash.sector_size = 0x1000;
    flash.align = 8;
    flash.erased = 0xFF;
    if (getenv("VELK_BOOTUTIL_LOG") != NULL) {
        log_level = (int)number(getenv("VELK_BOOTUTIL_LOG"));
    }

    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(word, "--upgrade") == 0) {
            upgrade = 1;
            continue;
        }
        if (word[0] != '-') {
            if (image_path != NULL) {
                usage();
            }
            image_path = word;
            continue;
        }
        if (value == NULL) {
            usage();
        }
        i++;
        if (strcmp(word, "--slot-size") == 0) {
            slot_size = (uint32_t)number(value);
        } else if (strcmp(word, "--sector-size") == 0) {
            flash.sector_size = (uint32_t)number(value);
        } else if (strcmp(word, "--align") == 0) {
            flash.align = (uint32_t)number(value);
        } else if (strcmp(word, "--erased") == 0) {
            flash.erased = (uint8_t)number(value);
        } else if (strcmp(word, "--key") == 0) {
            key_path = value;
        } else if (strcmp(word, "--counter") == 0) {
            counter = number(value);
        } else if (strcmp(word, "--image1") == 0) {
            image1_path = value;
        } else {
            usage();
        }
    }
    if (image_path == NULL || (image1_path != NULL) != (MCUBOOT_IMAGE_NUMBER == 2)
        || flash.sector_size == 0 || slot_size % flash.sector_size != 0
        || slot_size / flash.sector_size > MCUBOOT_MAX_IMG_SECTORS || flash.align == 0
        || flash.align > BOOT_MAX_ALIGN) {
        usage();
    }
#if defined(MCUBOOT_HW_ROLLBACK_PROT)
    device_counter = (uint32_t)counter;
#else
    (void)counter;
#endif
    if (key_path != NULL) {
        key_length = (unsigned int)read_file(key_path, key_bytes, sizeof(key_bytes));
    }

    /* primary slot, secondary slot, scratch: whole sectors, at least 4 KiB,
       so the swap's status fits it however small the sectors are */
    uint32_t scratch = flash.sector_size;
    while (scratch < 0x1000) {
        scratch += flash.sector_size;
    }
    flash.size = AREA_COUNT * slot_size + scratch;
    flash.bytes = malloc(flash.size);
    if (flash.bytes == NULL) {
        return 2;
    }
    memset(flash.bytes, flash.erased, flash.size);
    const char *paths[] = {image_path, image1_path};
    for (int image = 0; image < MCUBOOT_IMAGE_NUMBER; image++) {
        struct flash_area *primary = &flash.areas[2 * image];
        struct flash_area *secondary = &flash.areas[2 * image + 1];
        *primary = (struct flash_area){FLASH_AREA_IMAGE_PRIMARY(image), FLASH_DEVICE_ID,
                                       2 * image * slot_size, slot_size};
        *secondary = (struct flash_area){FLASH_AREA_IMAGE_SECONDARY(image), FLASH_DEVICE_ID,
                                         (2 * image + 1) * slot_size, slot_size};
        place(paths[image], upgrade ? secondary : primary, upgrade ? primary : NULL);
    }
    flash.areas[AREA_COUNT - 1] = (struct flash_area){FLASH_AREA_IMAGE_SCRATCH, FLASH_DEVICE_ID,
                                                      (AREA_COUNT - 1) * slot_size, scratch};

#if defined(MBEDTLS_PLATFORM_MEMORY)
    /* Mbed TLS configured as on the device allocates through hooks */
    mbedtls_platform_set_calloc_free(calloc, free);
#endif

    if (upgrade) {
        /* An image written with its trailer already requests the upgrade; a
           bare one gets the request an update agent writes. */
        for (int image = 0; image < MCUBOOT_IMAGE_NUMBER; image++) {
            struct boot_swap_state swap;
            if (boot_read_swap_state_by_id(FLASH_AREA_IMAGE_SECONDARY(image), &swap) != 0) {
                fprintf(stderr, "bootutil-oracle: cannot read a secondary slot's trailer\n");
                return 2;
            }
            if (swap.magic != BOOT_MAGIC_GOOD && boot_set_pending_multi(image, 0) != 0) {
                printf("refused: no upgrade could be requested (boot_set_pending)\n");
                return 1;
            }
        }
    }

    struct boot_loader_state *boot = calloc(1, sizeof(*boot));
    if (boot == NULL) {
        return 2;
    }
    struct boot_rsp rsp;
    memset(&rsp, 0, sizeof(rsp));
    boot_state_init(boot);
    FIH_DECLARE(verdict, FIH_FAILURE);
    FIH_CALL(context_boot_go, verdict, boot, &rsp);
    if (upgrade && (secondary_validations == 0 || secondary_refusals != 0)) {
        printf("refused: the secondary slot's image %s\n",
               secondary_validations == 0 ? "was never validated" : "did not validate");
        return 1;
    }
    if (FIH_NOT_EQ(verdict, FIH_SUCCESS)) {
        printf("refused: boot_go found no image to start\n");
        return 1;
    }
    if (rsp.br_image_off != flash.areas[0].fa_off || rsp.br_hdr == NULL
        || rsp.br_hdr->ih_magic != IMAGE_MAGIC) {
        printf("refused: boot_go chose no image in the primary slot\n");
        return 1;
    }
    printf("accepted: %s, version %u.%u.%u+%u\n",
           upgrade ? "upgraded into the primary slot and started" : "started from the primary slot",
           rsp.br_hdr->ih_ver.iv_major, rsp.br_hdr->ih_ver.iv_minor,
           rsp.br_hdr->ih_ver.iv_revision, (unsigned)rsp.br_hdr->ih_ver.iv_build_num);
    return 0;
}

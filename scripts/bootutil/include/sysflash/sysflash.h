/* The images' primary and secondary slots and the scratch area, as the
   flash areas the host bootloader's flash map numbers them. */
#ifndef ORACLE_SYSFLASH_H
#define ORACLE_SYSFLASH_H

#include <mcuboot_config/mcuboot_config.h>

#define FLASH_AREA_ID(x) FLASH_AREA_ID_##x
#define FLASH_AREA_ID_image_0 1
#define FLASH_AREA_ID_image_1 2
#define FLASH_AREA_ID_image_scratch 3
#define FLASH_AREA_ID_image_2 4
#define FLASH_AREA_ID_image_3 5

#if MCUBOOT_IMAGE_NUMBER == 1
#define FLASH_AREA_IMAGE_PRIMARY(x) FLASH_AREA_ID(image_0)
#define FLASH_AREA_IMAGE_SECONDARY(x) FLASH_AREA_ID(image_1)
#elif MCUBOOT_IMAGE_NUMBER == 2
#define FLASH_AREA_IMAGE_PRIMARY(x) ((x) == 0 ? FLASH_AREA_ID(image_0) : FLASH_AREA_ID(image_2))
#define FLASH_AREA_IMAGE_SECONDARY(x) ((x) == 0 ? FLASH_AREA_ID(image_1) : FLASH_AREA_ID(image_3))
#else
#error "the host bootloader holds one or two images"
#endif
#define FLASH_AREA_IMAGE_SCRATCH FLASH_AREA_ID(image_scratch)

#endif

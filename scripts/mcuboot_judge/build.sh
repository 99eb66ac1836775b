#!/bin/sh
# Builds MCUboot's own image check (bootutil_img_validate) for the host as a
# judge of signed images: judge-ed25519 and judge-ec256 in <out>, from an
# MCUboot checkout (its bootutil, tinycrypt, fiat and mbedtls-asn1; no
# submodule needed). The bootloader holds one key, given when it runs, and
# keeps the allow-list of unprotected TLVs that its ports turn on.
#   scripts/mcuboot_judge/build.sh <mcuboot checkout> <out>
#   <out>/judge-ed25519 <slot.bin> <slot size> <public key, DER>   # exit 0: accepted
set -eu
M=$(cd "$1" && pwd)
out=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
common="-I$M/boot/bootutil/include -I$M/boot/bootutil/src -I$M/sim/mcuboot-sys/csupport
 -I$M/ext/tinycrypt/lib/include -I$M/ext/mbedtls-asn1/include -I$M/ext/fiat/src
 -I$M/ext/tinycrypt-sha512/lib/include -DMBEDTLS_CONFIG_FILE=\"config-asn1.h\"
 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_VALIDATE_PRIMARY_SLOT -DMCUBOOT_IMAGE_NUMBER=1
 -DMCUBOOT_MAX_IMG_SECTORS=128 -DMCUBOOT_SWAP_USING_SCRATCH=1 -DMCUBOOT_USE_TLV_ALLOW_LIST"
src="$M/boot/bootutil/src/image_validate.c $M/boot/bootutil/src/tlv.c
 $M/boot/bootutil/src/bootutil_find_key.c $M/boot/bootutil/src/bootutil_img_hash.c
 $M/boot/bootutil/src/fault_injection_hardening.c $M/ext/tinycrypt/lib/source/sha256.c
 $M/ext/tinycrypt/lib/source/utils.c $M/ext/mbedtls-asn1/src/asn1parse.c
 $M/ext/mbedtls-asn1/src/platform_util.c"
ec="$M/boot/bootutil/src/image_ecdsa.c $M/ext/tinycrypt/lib/source/ecc.c
 $M/ext/tinycrypt/lib/source/ecc_dsa.c $M/ext/tinycrypt/lib/source/ecc_platform_specific.c"
ed="$M/boot/bootutil/src/image_ed25519.c $M/ext/fiat/src/curve25519.c
 $M/ext/tinycrypt-sha512/lib/source/sha512.c"
# MCUboot's sources are not ours to keep warning-free.
cc -O1 -w $common -DMCUBOOT_SIGN_EC256 "$here/judge.c" $src $ec -o "$out/judge-ec256"
cc -O1 -w $common -DMCUBOOT_SIGN_ED25519 "$here/judge.c" $src $ed -o "$out/judge-ed25519"

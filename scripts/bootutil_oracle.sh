#!/usr/bin/env bash
# MCUboot's own bootloader code as the judge of what `velk-crc FLASH` signs.
#
# Builds MCUboot's bootutil on this machine, once per bootloader
# configuration (signature type, key form, rollback counter, swap strategy,
# write alignment), around the small host port in scripts/bootutil/, and
# runs through each:
#   - images FLASH makes from tests/data's firmware with keys made here,
#     in the primary slot (validated at boot) and in the secondary slot
#     (validated, then moved in by an upgrade), and the same image read back
#     from FLASH's HEX and from its file merged with a bootloader: accepted
#     or refused; with controls that must be
#     refused (a changed payload byte, another key's signature);
#   - rearranged TLV areas of one signed image, judged by MCUboot and by
#     `velk-crc CHECK --mcuboot key=`, side by side;
#   - the largest image FLASH signs for a slot, and the largest each swap
#     strategy and sector layout starts (for information: FLASH's slot check
#     assumes swap-using-scratch and 128 sectors, as imgtool's does).
# MCUboot and Mbed TLS are not part of this repository: the script compiles
# them from a checkout the user gives, in a temporary folder.
#
# usage: scripts/bootutil_oracle.sh [--mcuboot DIR[@REF]] [--mbedtls DIR[@REF]]
#            [--config NAME]... [--keep DIR] [--results FILE] [--skip-fill] [--list]
#   --mcuboot DIR[@REF]  MCUboot's sources (default $VELK_MCUBOOT_SRC): a
#                  checkout, or a git repository read at REF (default HEAD)
#   --mbedtls DIR[@REF]  Mbed TLS 3.6 (default $VELK_MBEDTLS_SRC, else the
#                  checkout's ext/mbedtls-3.6.0): a checkout, or a git
#                  repository read at REF (default: the commit MCUboot's
#                  ext/mbedtls-3.6.0 names)
#   --config NAME  only this configuration (repeatable; --list names them)
#   --keep DIR     build and write there, and keep it: the sources taken
#                  from a git repository, the objects and keys are reused
#   --skip-fill    leave out the search for the largest image each bootloader
#                  starts in a slot (the slowest part)
#   --results FILE also write every verdict there, one tab-separated line each:
#                  image <config> <image> <boot|upgrade|hex|merged> <verdict>
#                  control <config> <image> <--boot|--upgrade> <verdict>
#                  tlvs <config> <case> <MCUboot's verdict> <CHECK's exit status>
#                  fill <config> <sector size> <FLASH's largest image> <verdict>
#                       <largest image started>
# The velk-crc that runs is $VELK_CRC if set, else `velk-crc` on PATH, else
# `python3 -m velk_crc`. Exit status: 0 when MCUboot accepted every image
# and refused every control, 1 when not, 2 when the script could not run.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
mcuboot=${VELK_MCUBOOT_SRC:-}
mbedtls=${VELK_MBEDTLS_SRC:-}
keep=
skip_fill=
results=/dev/null
only=()
list=

die() { echo "bootutil_oracle: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
    case $1 in
        --mcuboot) mcuboot=${2:?}; shift 2 ;;
        --mbedtls) mbedtls=${2:?}; shift 2 ;;
        --config) only+=("${2:?}"); shift 2 ;;
        --keep) keep=${2:?}; shift 2 ;;
        --results) results=${2:?}; shift 2 ;;
        --skip-fill) skip_fill=1; shift ;;
        --list) list=1; shift ;;
        *) die "unknown word $1 (see the usage at the top of $0)" ;;
    esac
done

# name | -D words | signature | key type | image settings | oracle words
# The bootloader configurations; each image's --mcuboot settings get the
# row's key and extra settings, and the oracle its extra words. Every one
# checks the unprotected TLVs against MCUboot's allow list, as Zephyr's,
# NuttX's, Mynewt's and Espressif's ports build it, but the last, which
# builds it as MCUboot's simulator does.
CONFIGS=(
"sha256|-DMCUBOOT_USE_MBED_TLS|none|none||"
"ed25519|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT|ed25519|ed25519||"
"ed25519-sha512|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_SHA512|ed25519|ed25519|sha=512|"
"ed25519-pure|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_SHA512 -DMCUBOOT_SIGN_PURE|ed25519|ed25519|pure|"
"ecdsa-p256-tinycrypt|-DMCUBOOT_SIGN_EC256 -DMCUBOOT_USE_TINYCRYPT|ecdsa-tinycrypt|ec||"
"ecdsa-p256-mbedtls|-DMCUBOOT_SIGN_EC256 -DMCUBOOT_USE_MBED_TLS|ecdsa-mbedtls|ec||"
"rsa-2048|-DMCUBOOT_SIGN_RSA -DMCUBOOT_SIGN_RSA_LEN=2048 -DCONFIG_BOOT_SIGNATURE_TYPE_RSA_LEN=2048 -DMCUBOOT_USE_MBED_TLS|rsa|rsa2048||"
"rsa-3072|-DMCUBOOT_SIGN_RSA -DMCUBOOT_SIGN_RSA_LEN=3072 -DCONFIG_BOOT_SIGNATURE_TYPE_RSA_LEN=3072 -DMCUBOOT_USE_MBED_TLS|rsa|rsa3072||"
"ed25519-hw-key|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_HW_KEY|ed25519|ed25519|pubkey=full|"
"ed25519-counter|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_HW_ROLLBACK_PROT|ed25519|ed25519|counter=5|--counter 5"
"ed25519-swap-move|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_SWAP_USING_MOVE|ed25519|ed25519||"
"ed25519-overwrite-only|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_OVERWRITE_ONLY|ed25519|ed25519||"
"ed25519-align32|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_BOOT_MAX_ALIGN=32|ed25519|ed25519|align=32|--align 32"
"ed25519-512-sectors|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_MAX_IMG_SECTORS=512|ed25519|ed25519||--sector-size 0x100"
"ed25519-two-images|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -DMCUBOOT_IMAGE_NUMBER=2|ed25519|ed25519||"
"ed25519-no-allow-list|-DMCUBOOT_SIGN_ED25519 -DMCUBOOT_USE_TINYCRYPT -UMCUBOOT_USE_TLV_ALLOW_LIST|ed25519|ed25519||"
)

if [ -n "$list" ]; then
    for row in "${CONFIGS[@]}"; do echo "${row%%|*}"; done
    exit 0
fi
for name in ${only[@]+"${only[@]}"}; do
    printf '%s\n' "${CONFIGS[@]}" | grep -q "^$name|" \
        || die "no configuration $name (--list names them)"
done

# ---- Sources -------------------------------------------------------------
[ -n "$mcuboot" ] || die "give MCUboot's sources: --mcuboot DIR or VELK_MCUBOOT_SRC"

if [ -n "$keep" ]; then
    work=$(mkdir -p "$keep" && cd "$keep" && pwd)
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/bootutil-oracle.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi

# A bare repository (such as a mirror) is read at a commit: DIR@REF, else
# MCUboot's HEAD, and for Mbed TLS the commit MCUboot's ext/mbedtls-3.6.0
# names. Only the folders the build reads are taken out.
from_git() {  # <git dir> <ref> <into> <paths...>
    local git=$1 ref=$2 into=$3; shift 3
    if [ ! -d "$into" ]; then
        rm -rf "$into.part" && mkdir -p "$into.part"
        # (a mirror without some blobs outside these paths complains of them
        # and still archives the paths: its words are kept for a failure)
        git --git-dir="$git" archive "$ref" "$@" 2>"$into.log" | tar -x -C "$into.part" \
            || die "cannot read $* at $ref from $git: $(cat "$into.log")"
        mv "$into.part" "$into"
    fi
}
is_git() { git --git-dir="$1" rev-parse --verify -q "$2^{commit}" >/dev/null 2>&1; }

mcuboot_ref=HEAD
case $mcuboot in *@*) mcuboot_ref=${mcuboot##*@}; mcuboot=${mcuboot%@*} ;; esac
[ -d "$mcuboot" ] || die "$mcuboot is not a folder"
mcuboot_git=
if [ ! -d "$mcuboot/boot/bootutil" ]; then
    is_git "$mcuboot" "$mcuboot_ref" \
        || die "$mcuboot holds neither MCUboot's sources nor a git repository of them"
    mcuboot_git=$mcuboot
    from_git "$mcuboot" "$mcuboot_ref" "$work/src/mcuboot" boot/bootutil ext/tinycrypt \
        ext/tinycrypt-sha512 ext/fiat sim/mcuboot-sys/csupport
    mcuboot=$work/src/mcuboot
fi
mbedtls_ref=
case $mbedtls in *@*) mbedtls_ref=${mbedtls##*@}; mbedtls=${mbedtls%@*} ;; esac
if [ -z "$mbedtls" ]; then
    mbedtls=$mcuboot/ext/mbedtls-3.6.0
fi
if [ ! -f "$mbedtls/library/sha256.c" ]; then
    if [ -z "$mbedtls_ref" ] && [ -n "$mcuboot_git" ]; then
        mbedtls_ref=$(git --git-dir="$mcuboot_git" rev-parse "$mcuboot_ref:ext/mbedtls-3.6.0")
    fi
    is_git "$mbedtls" "${mbedtls_ref:-HEAD}" \
        || die "no Mbed TLS 3.6 at $mbedtls: give --mbedtls DIR[@REF] or VELK_MBEDTLS_SRC"
    from_git "$mbedtls" "${mbedtls_ref:-HEAD}" "$work/src/mbedtls" include library
    mbedtls=$work/src/mbedtls
fi
grep -q 'MBEDTLS_VERSION_STRING *"3\.6\.' "$mbedtls/include/mbedtls/build_info.h" 2>/dev/null \
    || die "$mbedtls is not Mbed TLS 3.6 (MCUboot's host build needs it)"
boot=$mcuboot/boot/bootutil/src
ext=$mcuboot/ext
sim=$mcuboot/sim/mcuboot-sys/csupport   # Mbed TLS configurations only
[ -f "$boot/image_validate.c" ] || die "$mcuboot has no boot/bootutil/src/image_validate.c"

command -v srec_cat >/dev/null || die "srec_cat is needed (apt-get install srecord)"

# ---- velk-crc ------------------------------------------------------------
if [ -n "${VELK_CRC:-}" ]; then
    read -r -a velk <<<"$VELK_CRC"
elif command -v velk-crc >/dev/null; then
    velk=(velk-crc)
else
    velk=(python3 -m velk_crc)
fi
"${velk[@]}" --help >/dev/null 2>&1 || die "cannot run velk-crc as: ${velk[*]} (set VELK_CRC)"

# ---- Building ------------------------------------------------------------
CC=${CC:-cc}
objects=$work/obj
mkdir -p "$objects" "$work/bin"

# One object per source and flags: configurations that share their crypto
# share its objects.
# (the key holds the source's bytes and the host port's, so a kept folder
# never links an object of an older source)
port=$(cat "$here"/bootutil/oracle.c "$here"/bootutil/include/*/*.h | sha1sum | cut -c1-16)
compile() {  # <source> <flags...>; prints the object's path
    local source=$1; shift
    local key
    key=$( (printf '%s\n' "$source" "$port" "$@"; cat "$source") | sha1sum | cut -c1-16)
    local object=$objects/$(basename "$source" .c)-$key.o
    if [ ! -f "$object" ]; then
        nice -n 19 "$CC" -std=c99 -O1 -c "$source" -o "$object.part" "$@" \
            || die "cannot compile $source"
        mv "$object.part" "$object"
    fi
    echo "$object"
}

# The crypto library files a signature needs, as MCUboot's simulator builds
# them; with Mbed TLS's platform.c wherever its configuration routes
# allocation through it.
crypto_sources() {  # <signature>
    local m=$mbedtls/library t=$ext/tinycrypt/lib/source
    case $1 in
        none) echo "$m/sha256.c $m/platform_util.c" ;;
        ed25519) echo "$t/sha256.c $ext/tinycrypt-sha512/lib/source/sha512.c $t/utils.c
                       $ext/fiat/src/curve25519.c $m/platform_util.c $m/asn1parse.c
                       $m/platform.c $boot/image_ed25519.c" ;;
        ecdsa-tinycrypt) echo "$t/utils.c $t/sha256.c $t/ecc.c $t/ecc_dsa.c
                       $t/ecc_platform_specific.c $m/platform_util.c $m/asn1parse.c
                       $m/platform.c $boot/image_ecdsa.c" ;;
        ecdsa-mbedtls) echo "$m/sha256.c $m/asn1parse.c $m/bignum.c $m/bignum_core.c
                       $m/constant_time.c $m/nist_kw.c $m/ecdsa.c $m/ecp.c $m/ecp_curves.c
                       $m/asn1write.c $m/platform.c $m/platform_util.c $boot/image_ecdsa.c" ;;
        rsa) echo "$m/sha256.c $m/rsa.c $m/bignum.c $m/bignum_core.c $m/constant_time.c
                       $m/nist_kw.c $m/platform.c $m/platform_util.c $m/asn1parse.c $m/md.c
                       $m/asn1write.c $m/rsa_alt_helpers.c
                       $boot/image_rsa.c" ;;
    esac
}

crypto_config() {  # <signature> : the Mbed TLS configuration MCUboot's simulator uses
    case $1 in
        none) ;;
        ed25519|ecdsa-tinycrypt) echo "-DMBEDTLS_CONFIG_FILE=\"$sim/config-asn1.h\"" ;;
        ecdsa-mbedtls) echo "-DMBEDTLS_CONFIG_FILE=\"$sim/config-ec.h\"" ;;
        rsa) echo "-DMBEDTLS_CONFIG_FILE=\"$sim/config-rsa.h\"" ;;
    esac
}

BOOTUTIL="image_validate.c bootutil_find_key.c bootutil_img_hash.c
    bootutil_img_security_cnt.c loader.c swap_misc.c swap_scratch.c swap_move.c
    swap_offset.c caps.c bootutil_misc.c bootutil_area.c bootutil_loader.c
    bootutil_public.c tlv.c fault_injection_hardening.c"

build() {  # <name> <defines> <signature>
    local name=$1 defines=$2 signature=$3
    local exe=$work/bin/bootutil-$name
    local strategy="-DMCUBOOT_SWAP_USING_SCRATCH -DCONFIG_BOOT_SWAP_USING_SCRATCH"
    case $defines in *SWAP_USING_MOVE*|*OVERWRITE_ONLY*) strategy= ;; esac
    local align="-DMCUBOOT_BOOT_MAX_ALIGN=8"
    case $defines in *BOOT_MAX_ALIGN*) align= ;; esac
    local sectors="-DMCUBOOT_MAX_IMG_SECTORS=128"
    case $defines in *MAX_IMG_SECTORS*) sectors= ;; esac
    local images="-DMCUBOOT_IMAGE_NUMBER=1"
    case $defines in *IMAGE_NUMBER*) images= ;; esac
    local flags=(-DMCUBOOT_HAVE_LOGGING -DMCUBOOT_USE_FLASH_AREA_GET_SECTORS
        -DMCUBOOT_HAVE_ASSERT_H -DMCUBOOT_VALIDATE_PRIMARY_SLOT -DMCUBOOT_USE_TLV_ALLOW_LIST
        $images $sectors $align $strategy $defines $(crypto_config "$signature")
        -I"$here/bootutil/include" -I"$mcuboot/boot/bootutil/include" -I"$boot"
        -I"$mbedtls/include" -I"$ext/tinycrypt/lib/include"
        -I"$ext/tinycrypt-sha512/lib/include" -I"$ext/fiat/include")
    local objs=() source
    # MCUboot's and the libraries' sources as they are, their warnings
    # theirs; the host port warning-free
    for source in $(crypto_sources "$signature"); do
        objs+=("$(compile "$source" -w "${flags[@]}")")
    done
    for source in $BOOTUTIL; do
        objs+=("$(compile "$boot/$source" -w "${flags[@]}")")
    done
    local port_object
    port_object=$(compile "$here/bootutil/oracle.c" -Wall -Wextra "${flags[@]}")
    nice -n 19 "$CC" -Wl,--wrap=bootutil_img_validate -o "$exe" "$port_object" "${objs[@]}" \
        || die "cannot link the bootloader for $name"
    echo "$exe"
}

# ---- Keys ----------------------------------------------------------------
keys=$work/keys
mkdir -p "$keys"
make_key() {  # <type> <name>: keys/<name>.pem, <name>.pub.pem, <name>.der
    local type=$1 name=$2
    [ -f "$keys/$name.der" ] && return
    case $type in
        ed25519) openssl genpkey -algorithm ed25519 -out "$keys/$name.pem" ;;
        ec) openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$keys/$name.pem" ;;
        rsa2048) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$keys/$name.pem" ;;
        rsa3072) openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$keys/$name.pem" ;;
    esac 2>/dev/null
    openssl pkey -in "$keys/$name.pem" -pubout -out "$keys/$name.pub.pem"
    # The bytes the bootloader holds, as MCUboot's keys.c does: RSA's bare
    # key (PKCS#1), the others' SubjectPublicKeyInfo.
    case $type in
        rsa*) openssl rsa -in "$keys/$name.pem" -RSAPublicKey_out -outform DER \
                  -out "$keys/$name.der" 2>/dev/null ;;
        *) openssl pkey -in "$keys/$name.pem" -pubout -outform DER -out "$keys/$name.der" ;;
    esac
}

# ---- Images --------------------------------------------------------------
SLOT=0x08004000
SLOT_SIZE=0x20000
SECTOR=0x1000
added=$repo/tests/data/fw_mcuboot_app.elf
reserved=$repo/tests/data/fw_mcuboot_app_reserved.elf

# name | ELF | velk-crc words before --mcuboot | settings | oracle words
IMAGES=(
"added|$added|--ncrc_value|header=0x200|"
"reserved|$reserved|--ncrc_value|header=0x200|"
"version-slot|$added|--ncrc_value|header=0x200,slot=$SLOT_SIZE,version=1.2.3+4|"
"pad|$added|--ncrc_value|header=0x200,slot=$SLOT_SIZE,pad|"
"reserved-confirm|$reserved|--ncrc_value|header=0x200,slot=$SLOT_SIZE,confirm|"
"tlvs-dependency|$added|--ncrc_value|header=0x200,tlv=0xA0:01020304,dependency=1:1.0.0|"
"erased-00-pad|$added|--ncrc_value --fill 0x00|header=0x200,slot=$SLOT_SIZE,pad|--erased 0x00"
"no-record|$added||header=0x200,slot=$SLOT_SIZE|"
"merged|$added|--ncrc_value --merge $repo/tests/data/fw_mcuboot_loader.hex|header=0x200,slot=$SLOT_SIZE,confirm|"
)

# The added layout as the GNU linker lays it out with its default flags
# (tests/data's build passes -n): the first load segment starts below the
# application, at the slot, and carries the ELF file's own headers.
firmware=$repo/tests/data/firmware
if command -v arm-none-eabi-gcc >/dev/null; then
    mkdir -p "$work/fw"
    arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -Os -ffreestanding -fno-unwind-tables \
        -fno-asynchronous-unwind-tables -nostartfiles -nostdlib -L "$firmware" \
        -T mcuboot_app.ld -o "$work/fw/app_default_ld.elf" "$firmware/bootloaded_app.c" \
        || die "arm-none-eabi-gcc cannot build $firmware/bootloaded_app.c"
    IMAGES+=("default-ld|$work/fw/app_default_ld.elf|--ncrc_value|header=0x200|")
else
    echo "bootutil_oracle: no arm-none-eabi-gcc: the default-ld image is left out" >&2
fi

# FLASH's .bin of an image: the slot's bytes from the header on.
flash_image() {  # <out stem> <elf> <words> <settings>; prints the .bin or nothing
    local stem=$1 elf=$2 words=$3 settings=$4
    mkdir -p "$(dirname "$stem")"
    cp "$elf" "$stem.elf"
    # shellcheck disable=SC2086
    if "${velk[@]}" FLASH "$stem.elf" $words --bin --mcuboot "$settings" \
            >"$stem.flash.log" 2>&1 && [ -f "${stem}_CRC.bin" ]; then
        echo "${stem}_CRC.bin"
    fi
}

slot_of() {  # <HEX file> <erased value> <out>: the slot's bytes as the file places them
    srec_cat "$1" -intel -crop $SLOT $((SLOT + SLOT_SIZE)) -offset -$SLOT \
        -fill "$2" 0 $((SLOT_SIZE)) -o "$3" -binary \
        || die "srec_cat cannot read $1"
}

run_oracle() {  # <exe> <bin> <words...>; prints accepted / refused / crashed / error
    local exe=$1 bin=$2 status; shift 2
    "$exe" --slot-size $SLOT_SIZE --sector-size $SECTOR "$@" "$bin" >"$bin.oracle.log" 2>&1 \
        && status=0 || status=$?
    case $status in
        0) echo accepted ;;
        1) echo refused ;;
        2) echo "error ($(tail -1 "$bin.oracle.log"))" ;;
        *) echo "crashed (exit status $status)" ;;
    esac
}

: >"$results" || die "cannot write $results"
failures=0
summary=()
details=()

for row in "${CONFIGS[@]}"; do
    IFS='|' read -r name defines signature keytype extra oracle_extra <<<"$row"
    if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " == *" $name "* ]]; then
        continue
    fi
    echo "building MCUboot's bootutil: $name" >&2
    exe=$(build "$name" "$defines" "$signature")
    key_settings= key_words=()
    if [ "$keytype" != none ]; then
        make_key "$keytype" "$keytype-a"
        key_settings="key=$keys/$keytype-a.pem,"
        key_words=(--key "$keys/$keytype-a.der")
    fi
    # A bootloader for two images boots each image beside a second one: the
    # reserved layout at version 1.2.0, which tlvs-dependency's image needs.
    if [[ $defines == *IMAGE_NUMBER=2* ]]; then
        second=$(flash_image "$work/images/$name/second" "$reserved" --ncrc_value \
                 "${key_settings}header=0x200,version=1.2.0${extra:+,$extra}")
        [ -n "$second" ] || die "FLASH refused the second image for $name"
        oracle_extra+=" --image1 $second"
    fi
    accepted=0 refused=0
    for image in "${IMAGES[@]}"; do
        IFS='|' read -r iname elf words settings iwords <<<"$image"
        all="$key_settings$settings${extra:+,$extra}"
        bin=$(flash_image "$work/images/$name/$iname" "$elf" "$words" "$all")
        if [ -z "$bin" ]; then
            details+=("$name $iname: FLASH refused: $(head -1 "$work/images/$name/$iname.flash.log")")
            printf 'image\t%s\t%s\t%s\t%s\n' "$name" "$iname" boot "not made" >>"$results"
            refused=$((refused + 3)); failures=$((failures + 1))
            continue
        fi
        # The HEX, and the file merged with the bootloader, as a programmer
        # writes them: the slot's bytes at the slot's address, erased where
        # the file has none. (The .bin holds no address: it is taken as the
        # slot's bytes from its first.)
        gap=0xFF
        [[ $words == *"--fill 0x00"* ]] && gap=0x00
        modes=(boot upgrade hex)
        slot_of "${bin%.bin}.hex" $gap "${bin%.bin}.hex.bin"
        if [ -f "${bin%.bin}_merged.hex" ]; then
            slot_of "${bin%.bin}_merged.hex" $gap "${bin%.bin}.merged.bin"
            modes+=(merged)
        fi
        for mode in "${modes[@]}"; do
            mode_words=() image=$bin
            [ $mode = upgrade ] && mode_words=(--upgrade)
            [ $mode = hex ] && image=${bin%.bin}.hex.bin
            [ $mode = merged ] && image=${bin%.bin}.merged.bin
            # shellcheck disable=SC2086
            verdict=$(run_oracle "$exe" "$image" "${key_words[@]}" $oracle_extra $iwords \
                      "${mode_words[@]}")
            cp "$image.oracle.log" "$bin.$mode.log"
            printf 'image\t%s\t%s\t%s\t%s\n' "$name" "$iname" "$mode" "$verdict" >>"$results"
            if [ "$verdict" = accepted ]; then
                accepted=$((accepted + 1))
            else
                refused=$((refused + 1)); failures=$((failures + 1))
                details+=("$name $iname ($mode): $(tail -1 "$bin.$mode.log")")
            fi
        done
    done
    line=$(printf '%-24s %3d accepted %3d refused' "$name" "$accepted" "$refused")
    # Controls, to show the bootloader refuses at all: a payload byte
    # changed, and (signed) the same image signed by a key it does not hold.
    controls=("$work/images/$name/added_CRC.bin")
    tampered=$work/images/$name/tampered.bin
    if [ -f "${controls[0]}" ]; then
        python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[0x210] ^= 0x01
open(sys.argv[2], "wb").write(d)' "${controls[0]}" "$tampered"
    fi
    # <bin>|<modes it is refused in>
    controls=("$tampered|boot upgrade")
    if [ "$keytype" != none ]; then
        make_key "$keytype" "$keytype-b"
        controls+=("$(flash_image "$work/images/$name/other-key" "$added" --ncrc_value \
                     "key=$keys/$keytype-b.pem,header=0x200${extra:+,$extra}")|boot upgrade")
    fi
    # A dependency the second image does not meet holds back the upgrade.
    if [[ $defines == *IMAGE_NUMBER=2* ]]; then
        controls+=("$(flash_image "$work/images/$name/dependency-unmet" "$added" --ncrc_value \
                     "${key_settings}header=0x200,dependency=1:1.3.0${extra:+,$extra}")|upgrade")
    fi
    held=0 control_runs=0
    for control in "${controls[@]}"; do
        bin=${control%|*}
        for mode_words in ${control#*|}; do
            [ "$mode_words" = boot ] && mode_words=
            [ "$mode_words" = upgrade ] && mode_words=--upgrade
            control_runs=$((control_runs + 1))
            [ -f "$bin" ] || continue
            # shellcheck disable=SC2086
            verdict=$(run_oracle "$exe" "$bin" "${key_words[@]}" $oracle_extra $mode_words)
            printf 'control\t%s\t%s\t%s\t%s\n' "$name" "$(basename "$bin" .bin)" \
                "${mode_words:---boot}" "$verdict" >>"$results"
            [ "$verdict" = refused ] && held=$((held + 1))
        done
    done
    line+=$(printf '   controls refused %d/%d' "$held" "$control_runs")
    [ "$held" -eq "$control_runs" ] || failures=$((failures + 1))
    # The rollback counter: the same image against a device that has seen a
    # later one must be refused.
    if [[ $defines == *HW_ROLLBACK_PROT* ]]; then
        bin=$work/images/$name/added_CRC.bin
        verdict=$(run_oracle "$exe" "$bin" "${key_words[@]}" --counter 9)
        line+="   counter 5 on a device at 9: $verdict"
        [ "$verdict" = refused ] || failures=$((failures + 1))
    fi
    summary+=("$line")
done

echo
echo "MCUboot's verdict on velk-crc FLASH images (each image's .bin in the primary slot at"
echo "boot and in the secondary slot through an upgrade, its HEX at boot, and the slot of"
echo "the file merged with the bootloader at boot):"
printf '  %s\n' "${summary[@]}"
if [ ${#details[@]} -gt 0 ]; then
    echo "refused:"
    printf '  %s\n' "${details[@]}"
fi

# ---- Rearranged TLV areas ------------------------------------------------
rearranged() {  # <config name> <key type> <extra settings>
    local name=$1 keytype=$2 extra=$3 exe=$work/bin/bootutil-$1
    [ -x "$exe" ] || return 0
    make_key "$keytype" "$keytype-b"
    local dir=$work/rearranged/$name
    local ours other
    ours=$(flash_image "$dir/ours" "$added" "--ncrc_value" \
           "key=$keys/$keytype-a.pem,header=0x200${extra:+,$extra}")
    other=$(flash_image "$dir/other" "$added" "--ncrc_value" \
            "key=$keys/$keytype-b.pem,header=0x200${extra:+,$extra}")
    [ -n "$ours" ] && [ -n "$other" ] || { echo "  $name: FLASH refused the base image"; return; }
    python3 "$here/bootutil/rearrange.py" "$ours" "$other" "$dir/cases" >/dev/null
    echo
    echo "Rearranged TLV areas, $name${extra:+ ($extra: the key TLV is the key itself)}:"
    echo "  (the bootloader and CHECK hold key a only; b is another key of the same type)"
    printf '  %-34s %-9s %s\n' case MCUboot "velk-crc CHECK --mcuboot key= (exit status: what it says)"
    local case bin mcu check status
    while read -r case; do
        bin=$dir/cases/$case.bin
        mcu=$(run_oracle "$exe" "$bin" --key "$keys/$keytype-a.der")
        check=$("${velk[@]}" CHECK "$bin" --base $SLOT --mcuboot "key=$keys/$keytype-a.pub.pem" 2>&1) \
            && status=0 || status=$?
        printf 'tlvs\t%s\t%s\t%s\t%s\n' "$name" "$case" "$mcu" "$status" >>"$results"
        # CHECK's word on it: its first note when it passes, else its first
        # mismatch or error line.
        if [ "$status" -eq 0 ]; then
            said=$(grep -m1 '^note' <<<"$check" || echo ok)
        else
            said=$(grep -m1 'mismatch\|^error' <<<"$check" || head -1 <<<"$check")
        fi
        printf '  %-34s %-9s %s: %s\n' "$case" "$mcu" "$status" "$said"
    done <"$dir/cases/list"
}

for row in "${CONFIGS[@]}"; do
    IFS='|' read -r name defines signature keytype extra oracle_extra <<<"$row"
    case $name in
        ed25519|ecdsa-p256-tinycrypt|ecdsa-p256-mbedtls|rsa-2048|rsa-3072|ed25519-hw-key|\
        ed25519-no-allow-list)
            rearranged "$name" "$keytype" "$extra" ;;
    esac
done

# ---- An image that fills slot= ------------------------------------------
# FLASH's slot check allows what imgtool's does (a swap-using-scratch trailer
# for 128 sectors). The largest image it signs for slot=0x8000,align=8
# (grown by a protected TLV), and each bootloader's verdict on it, on flash
# of the sectors given; and the largest image that bootloader starts.
FILL_SLOT=0x8000
FILLS=(
"ed25519|0x100|swap-scratch, 128 sectors of 0x100"
"ed25519|0x1000|swap-scratch, 8 sectors of 0x1000"
"ed25519-swap-move|0x100|swap-move, 128 sectors of 0x100"
"ed25519-swap-move|0x1000|swap-move, 8 sectors of 0x1000"
"ed25519-overwrite-only|0x1000|overwrite-only, 8 sectors of 0x1000"
"ed25519-512-sectors|0x40|swap-scratch, 512 sectors of 0x40"
)
fill_image() {  # <pad bytes> <slot= or nothing>; prints the .bin or nothing
    local n=$1 slot=$2 hex stem=$work/fill/$1${2:+-slot$2}
    # without slot= the image depends on n alone: made once
    if [ -z "$slot" ] && [ -f "${stem}_CRC.bin" ]; then
        echo "${stem}_CRC.bin"
        return
    fi
    hex=$(printf 'a5%.0s' $(seq 1 "$n"))
    flash_image "$stem" "$added" --ncrc_value \
        "key=$keys/ed25519-a.pem,header=0x200,align=8,tlv=0xA0:$hex${slot:+,slot=$slot}"
}
fill_verdict() {  # <exe> <sector size> <bin>: both modes' verdict, or each
    local a b
    a=$(run_oracle "$1" "$3" --key "$keys/ed25519-a.der" --slot-size $FILL_SLOT \
        --sector-size "$2" --align 8)
    b=$(run_oracle "$1" "$3" --key "$keys/ed25519-a.der" --slot-size $FILL_SLOT \
        --sector-size "$2" --align 8 --upgrade)
    if [ "$a" = "$b" ]; then echo "$a"; else echo "boot $a, upgrade $b"; fi
}
largest() {  # <test command...>: the largest n in 1..FILL_SLOT for which it succeeds
    local low=1 high=$((FILL_SLOT)) mid
    "$@" $low || { echo 0; return; }
    while [ $low -lt $high ]; do
        mid=$(((low + high + 1) / 2))
        if "$@" $mid; then low=$mid; else high=$((mid - 1)); fi
    done
    echo $low
}
flash_signs() { [ -n "$(fill_image "$1" $FILL_SLOT)" ]; }
mcuboot_starts() {  # <exe> <sector size> <n>
    local bin
    bin=$(fill_image "$3" "")
    [ -n "$bin" ] && [ "$(fill_verdict "$1" "$2" "$bin")" = accepted ]
}
fill_rows=()
for row in "${FILLS[@]}"; do
    [ -x "$work/bin/bootutil-${row%%|*}" ] && fill_rows+=("$row")
done
if [ ${#fill_rows[@]} -gt 0 ] && [ -z "$skip_fill" ]; then
    make_key ed25519 ed25519-a
    most=$(largest flash_signs)
    bin=$(fill_image "$most" $FILL_SLOT)
    size=$(stat -c %s "$bin")
    echo
    echo "An image that fills slot=$FILL_SLOT,align=8: FLASH's largest is $size bytes (TLVs included)."
    printf '  %-62s %-26s %s\n' "bootloader" "verdict on it" "largest image it starts"
    for row in "${fill_rows[@]}"; do
        IFS='|' read -r name sector what <<<"$row"
        exe=$work/bin/bootutil-$name
        verdict=$(fill_verdict "$exe" "$sector" "$bin")
        n=$(largest mcuboot_starts "$exe" "$sector")
        biggest=$(stat -c %s "$(fill_image "$n" "")")
        printf 'fill\t%s\t%s\t%s\t%s\t%s\n' "$name" "$sector" "$size" "$verdict" "$biggest" \
            >>"$results"
        printf '  %-62s %-26s %s bytes (%+d)\n' "$name ($what)" "$verdict" "$biggest" \
            $((biggest - size))
    done
fi

[ $failures -eq 0 ]

"""FLASH --stamp's words as a production line writes them: a CSV from a
spreadsheet, a folder of per-device keys, serials and MACs. The values each
device's HEX holds are read back by the test's own HEX parser at the
addresses arm-none-eabi-nm gives; a word that cannot work is refused in one
line, exit 255, before any device file is written, from the command line
and from the API alike."""

import os

import pytest

from conftest import run_command
from hexcheck import read_hex
from stamped_build import link

FIRMWARE = r"""
#include <stdint.h>
void reset(void) { for (;;) ; }
__attribute__((section(".vectors"), used))
const uint32_t vectors[2] = {0x20001000u, (uint32_t)&reset};
__attribute__((used)) const uint32_t serial_no = 0xFFFFFFFFu;
__attribute__((used)) const uint16_t batch = 0xFFFFu;
__attribute__((used)) const uint8_t mac_addr[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
__attribute__((used)) const uint8_t board_name[8] = {0xFF, 0xFF, 0xFF, 0xFF,
                                                     0xFF, 0xFF, 0xFF, 0xFF};
__attribute__((used)) const uint8_t cal_key[4] = {0xFF, 0xFF, 0xFF, 0xFF};
__attribute__((section(".crc_value"), used)) const uint32_t crc_value = 0xFFFFFFFFu;
"""

# As Excel's "CSV UTF-8" saves it: a byte order mark, CRLF, a quoted cell.
LINE_CSV = ("\ufeffid,batch,name,key\r\n"
            "PCB-7,7,\"a,b\",00112233\r\n"
            "PCB-8,0x0008,ninechar,44556677\r\n"
            "PCB-9,9,,8899AABB\r\n")


@pytest.fixture(scope="module")
def fw(tmp_path_factory):
    """The build linked once by the ARM GNU toolchain, its symbols as nm
    gives them, and the production inputs beside it."""
    folder = tmp_path_factory.mktemp("stamps-build")
    elf, symbols = link(folder, FIRMWARE)
    (folder / "line.csv").write_bytes(LINE_CSV.encode())
    (folder / "twice.csv").write_text("id,batch\nPCB-1,1\nPCB-2,2\npcb-1,3\n")
    (folder / "escape.csv").write_text("id,batch\n../../etc,1\n")
    (folder / "short.csv").write_text("id,batch\nPCB-1,1\nPCB-2\n")
    # The stamped column distinct, the first (the ids) not.
    (folder / "lot.csv").write_text("lot,batch\nL7,1\nL7,2\nL7,3\n")
    for name, key in [("k1.bin", b"\x01\x02\x03\x04"), ("k2.bin", b"\x05\x06\x07\x08"),
                      ("k3.bin", b"\x09\x0a\x0b\x0c")]:
        (folder / "keys").mkdir(exist_ok=True)
        (folder / "keys" / name).write_bytes(key)
    (folder / "copies").mkdir()
    (folder / "copies" / "a.bin").write_bytes(b"same")
    (folder / "copies" / "b.bin").write_bytes(b"same")
    return {"elf": elf, "folder": folder, "symbols": symbols}


def at(hex_path, place):
    address, size = place
    memory = read_hex(hex_path).memory
    return bytes(memory[a] for a in range(address, address + size))


@pytest.fixture(scope="module")
def line_run(fw, tmp_path_factory):
    """One run over the CSV, the folder of keys and a MAC range."""
    csv = fw["folder"] / "line.csv"
    out = tmp_path_factory.mktemp("line") / "out"
    done = run_command("FLASH", fw["elf"], "--ncrc_value", "--out", out,
                       "--stamp", f"batch=csv:{csv}:batch",
                       "--stamp", f"board_name=csv:{csv}:name:text",
                       "--stamp", f"cal_key=file:{fw['folder']}/keys/*.bin",
                       "--stamp", "mac_addr=mac:02:00:00:00:00:fe", cwd=fw["folder"])
    assert done.returncode == 0, done.stderr
    return out


def test_a_csv_and_a_folder_of_keys(fw, line_run):
    """Each device's ids from the CSV's first column; its batch number, name
    and key where the build's symbols are; the blobs in name order."""
    expected = [("PCB-7", b"\x07\x00", b"a,b\0\0\0\0\0", b"\x01\x02\x03\x04", "0200000000fe"),
                ("PCB-8", b"\x08\x00", b"ninechar", b"\x05\x06\x07\x08", "0200000000ff"),
                ("PCB-9", b"\x09\x00", b"\0" * 8, b"\x09\x0a\x0b\x0c", "020000000100")]
    for id, batch, name, key, mac in expected:
        hex_path = line_run / f"fw_{id}_CRC.hex"
        assert at(hex_path, fw["symbols"]["batch"]) == batch, id
        assert at(hex_path, fw["symbols"]["board_name"]) == name, id
        assert at(hex_path, fw["symbols"]["cal_key"]) == key, id
        assert at(hex_path, fw["symbols"]["mac_addr"]) == bytes.fromhex(mac), id


# CHECK at the station, each value written as its own kind: a number, text,
# hex bytes, the key's file, a MAC; a refusal of CHECK is exit 2.
STATION = [
    ("right", ["batch=0x0008", "board_name=text:ninechar", "cal_key=file:keys/k2.bin",
               "mac_addr=02-00-00-00-00-ff", "board_name=bytes:6e696e6563686172"], 0, None),
    ("wrong-text", ["board_name=text:ninechat"], 1,
     "the file holds 6e696e6563686172, not ninechat (6e696e6563686174)"),
    ("wrong-key", ["cal_key=file:keys/k1.bin"], 1,
     "the file holds 05060708, not k1.bin (01020304)"),
    ("wrong-mac", ["mac_addr=mac:02:00:00:00:00:fe"], 1,
     "the file holds 0200000000ff, not 02:00:00:00:00:fe (0200000000fe)"),
    ("text-too-long", ["board_name=text:ninechars"], 2,
     "--stamp 0x{board_name}=text:ninechars: the text is 9 bytes, longer than the place's "
     "8 bytes"),
]


@pytest.mark.parametrize("stamps,status,said", [r[1:] for r in STATION],
                         ids=[r[0] for r in STATION])
def test_check_at_the_station(fw, line_run, stamps, status, said):
    """The places by address, as a station without the build gives them."""
    places = {name: f"{address:08X}:{size}" for name, (address, size) in fw["symbols"].items()}
    words = []
    for word in stamps:
        place, value = word.split("=", 1)
        words += ["--stamp", f"0x{places[place]}={value}"]
    done = run_command("CHECK", line_run / "fw_PCB-8_CRC.hex", *words, cwd=fw["folder"])
    assert done.returncode == status, done.stdout + done.stderr
    if said:
        said = said.format(**places)
        assert said in done.stdout + done.stderr
    if status == 2:
        assert len(done.stderr.splitlines()) == 1 and "Traceback" not in done.stderr


REFUSED = [
    ("last-below-first", ["serial_no=serial:10..5"],
     "--stamp serial_no=serial:10..5: the last serial (5) is below the first (10)"),
    ("mac-in-4-bytes", ["serial_no=mac:02:00:00:00:00:01", "batch=serial:1..3"],
     "a MAC address takes 6 bytes, but the place's 4 bytes"),
    ("no-count", ["serial_no=serial:1"], "give --count <n>, or a last serial"),
    ("counts-differ", ["serial_no=serial:1..5", "batch=csv:line.csv:batch"],
     "gives 3 devices, but --stamp serial_no=serial:1..5 gives 5"),
    ("serials-meet", ["serial_no=serial:1..3", "batch=serial:3..5"],
     "give serial 3 twice: to device 3 and to device 1"),
    ("serial-past-its-bytes", ["batch=serial:65534..65536"],
     "the place's 2 bytes"),
    ("no-column", ["batch=csv:line.csv:btach"],
     "line.csv has no column \"btach\"; its columns are \"id\", \"batch\", \"name\", \"key\""),
    ("short-row", ["batch=csv:short.csv:batch"],
     "short.csv: line 3 has 1 cells, but the header names 2 columns"),
    ("ids-apart-by-case", ["batch=csv:twice.csv:batch"],
     "give the same id \"PCB-1\" and \"pcb-1\""),
    ("ids-from-the-first-column", ["batch=csv:lot.csv:batch"],
     "line 2 of lot.csv and line 3 of lot.csv give the same id \"L7\": a device's id, which "
     "names its files, is the CSV's first column (\"lot\"); put a column of distinct ids "
     "first"),
    ("id-out-of-folder", ["batch=csv:escape.csv:batch"],
     "the id \"../../etc\" cannot name a device's files"),
    ("text-too-long", ["serial_no=csv:line.csv:name:text"],
     "line 3 of line.csv: \"ninechar\" is 8 bytes, longer than the place's 4 bytes"),
    ("text-without-text", ["board_name=csv:line.csv:name"],
     "a text slot takes csv:<file>:<column>:text"),
    ("same-key-twice", ["cal_key=file:copies/*.bin"],
     "devices a and b would get the same blob"),
]


@pytest.mark.parametrize("stamps,said", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refused_in_one_line_before_anything_is_written(fw, tmp_path, stamps, said):
    out = tmp_path / "out"
    words = [w for s in stamps for w in ("--stamp", s)]
    done = run_command("FLASH", fw["elf"], "--ncrc_value", "--out", out, *words,
                       cwd=fw["folder"])
    assert done.returncode == 255, done.stderr
    assert len(done.stderr.splitlines()) == 1 and "Traceback" not in done.stderr
    assert said in done.stderr
    assert not out.exists()


def test_the_api_refuses_with_the_same_line(fw, tmp_path):
    import velk_crc as velk
    with pytest.raises(velk.Refused, match=r"the last serial \(5\) is below the first \(10\)"):
        velk.flash(str(fw["elf"]), symbol="crc_value", out=str(tmp_path / "out"),
                   stamp=[("serial_no", "serial:10..5")])
    assert not (tmp_path / "out").exists()


def test_the_api_names_the_id_column(fw, tmp_path):
    import velk_crc as velk
    with pytest.raises(velk.Refused, match=r'is the CSV\'s first column \("lot"\)'):
        velk.flash(str(fw["elf"]), symbol="crc_value", out=str(tmp_path / "out"),
                   stamp=[("batch", f"csv:{fw['folder'] / 'lot.csv'}:batch")])
    assert not (tmp_path / "out").exists()

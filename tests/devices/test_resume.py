"""A devices run stopped by kill or Ctrl-C at points spread over its batches,
then resumed, leaves exactly the run's devices: whole, distinct sets whose
files match the manifest's SHA-256 and pass our CHECK. The same 50 times
over, at random points and with several stops a run: scripts/
devices_resume_fuzz.py."""
import json
import os
import signal
import subprocess

import pytest

from conftest import posix_only, velk_command
from resume_run import check_folder, hidden_leftovers, resumed, stopped_at

# A batch of 32 devices and a part; `names` is how many entries the folder
# holds (temporaries, device files, the state) when the signal is sent.
COUNT = 40


@posix_only("signals sent to a child process")
@pytest.mark.parametrize("signal_name, names", [
    pytest.param("SIGKILL", 1, id="kill-before-the-state"),
    pytest.param("SIGKILL", 10, id="kill-first-batch"),
    pytest.param("SIGKILL", 70, id="kill-second-batch"),
    pytest.param("SIGINT", 10, id="ctrl-c-first-batch"),
    pytest.param("SIGINT", 40, id="ctrl-c-after-first-batch"),
    pytest.param("SIGTERM", 1, id="term-before-the-state"),
    pytest.param("SIGTERM", 70, id="term-second-batch"),
])
def test_a_stopped_run_resumes_to_exactly_its_devices(tmp_path, signal_name, names):
    folder = str(tmp_path / "out")
    status, err = stopped_at(folder, COUNT, names, getattr(signal, signal_name))
    if signal_name == "SIGINT" and status != 0:
        # Ctrl-C ends the run by SIGINT, as a shell expects, and the batch
        # being written takes its temporaries with it.
        assert status == -signal.SIGINT, err
        assert err.endswith("the same command with --resume goes on from the first device "
                            "not in place\n"), err
        if os.path.isdir(folder):
            assert hidden_leftovers(folder) == []
    if signal_name == "SIGTERM" and status != 0:
        # A kill from outside waits for the file being written, which it
        # takes away, then ends the run as the signal would have.
        assert status == -signal.SIGTERM, err
        assert hidden_leftovers(folder) == []
    resumed(folder, COUNT)
    check_folder(folder, COUNT)


# What --resume refuses, on the command line and in the API, each worded
# with its own front's option names; the folder is left as it was.
REFUSED = [
    ("nothing-to-resume", None, 3, True,
     "nothing to resume in {out}: it holds no manifest.state; leave out {resume} to start "
     "the run"),
    ("complete", 3, 3, True,
     "{out}: already complete: 3 devices; nothing to resume ({force} makes them again)"),
    ("another-count", 3, 4, True, "cannot resume {out}/manifest.state: another run's (not the "
     "same: the count (3, now 4)); resume with its input and words, or use "
     "another {out_word}"),
    ("another-run-not-resumed", 3, 4, False, "{out}/manifest.state is another run's (not the "
     "same: the count (3, now 4)): its devices would be mixed with this run's; "
     "use another {out_word}, or {force} to replace them"),
]


def contents(folder):
    """Every file in `folder` by name, with its bytes."""
    found = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


@pytest.mark.parametrize("front", ["command-line", "api"])
@pytest.mark.parametrize("earlier, count, resume, said", [r[1:] for r in REFUSED],
                         ids=[r[0] for r in REFUSED])
def test_resume_refusals_leave_the_folder(tmp_path, front, earlier, count, resume, said):
    import velk_crc
    from resume_run import ELF, FIRST, PLACE, words

    out = str(tmp_path / "out")
    os.mkdir(out)
    if earlier:
        done = subprocess.run(words(out, earlier), capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    before = contents(out)
    if front == "command-line":
        run = subprocess.run(words(out, count, *(["--resume"] if resume else [])),
                             capture_output=True, text=True)
        assert run.returncode == 255
        assert run.stderr == f"error: {ELF}: {said}\n".format(
            out=out, resume="--resume", force="--force", out_word="--out")
    else:
        with pytest.raises(velk_crc.Refused) as refused:
            velk_crc.flash(ELF, symbol="crc_value", out=out, count=count, resume=resume,
                           stamp=[(f"0x{PLACE:08X}:4", f"serial:{FIRST}")])
        assert said.format(out=out, resume="resume=True", force="force=True",
                           out_word="out=") in str(refused.value)
    assert contents(out) == before


# What a device's files hold beyond the records and stamps: a resume with
# another of these would mix two kinds of files in one folder.
SHAPING = [
    ("uf2-family", ["--uf2", "rp2040"], ["--uf2", "samd21"]),
    ("dfu-ids", ["--dfu", "0483:df11"], ["--dfu", "0483:df12"]),
    ("dfuse-ids", ["--dfuse", "0483:df11"], ["--dfuse", "0483:df12"]),
    ("nrf-settings", ["--nrf-settings", "nrf52840,app-version=1,bl-version=1,"
                      "bl-settings-version=2"],
     ["--nrf-settings", "nrf52840,app-version=2,bl-version=1,bl-settings-version=2"]),
    ("merged-entry", ["--merge", "{boot}@0x08010000", "--entry", "0x08010000"],
     ["--merge", "{boot}@0x08010000", "--entry", "{elf}"]),
]


@pytest.mark.parametrize("first, then", [r[1:] for r in SHAPING],
                         ids=[r[0] for r in SHAPING])
def test_resume_refuses_other_file_shapes(tmp_path, first, then):
    from resume_run import ELF, words

    boot = tmp_path / "boot.bin"
    boot.write_bytes(bytes(range(64)))
    out = str(tmp_path / "out")

    def shaped(more):
        return [w.format(boot=boot, elf=ELF) for w in more]

    done = subprocess.run(words(out, 3, *shaped(first)), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    before = contents(out)
    run = subprocess.run(words(out, 3, "--resume", *shaped(then)), capture_output=True,
                         text=True)
    assert run.returncode == 255
    assert f"cannot resume {out}/manifest.state: another run's (not the same: the words" \
        in run.stderr, run.stderr
    assert contents(out) == before


def streamed(run_words, stop_at=None, folder=None):
    """The devices' indexes that a run's --json stream names; with
    `stop_at`, the run is sent Ctrl-C once `folder` holds that many entries
    (the first batch in place, the second on its way)."""
    run = subprocess.Popen([*run_words, "--json"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    while stop_at and run.poll() is None:
        try:
            if len(os.listdir(folder)) >= stop_at:
                run.send_signal(signal.SIGINT)
                break
        except FileNotFoundError:
            pass
    out, err = run.communicate(timeout=120)
    assert run.returncode in (0, -signal.SIGINT), err
    lines = [json.loads(line) for line in out.splitlines() if line.strip()]
    return [line["index"] for line in lines if "index" in line]


@posix_only("signals sent to a child process")
def test_a_stopped_run_streams_every_device_it_put_in_place(tmp_path):
    """Ctrl-C while a later batch is made: the batch already in place is in
    the state, so the resume does not make it again; the stream must have
    named it, or a line reading the stream never hears of those devices."""
    from resume_run import words

    folder = str(tmp_path / "out")
    count = 80  # three batches
    first = streamed(words(folder, count), stop_at=66, folder=folder)
    second = streamed(words(folder, count, "--resume"))
    assert sorted(first + second) == list(range(count))
    check_folder(folder, count)


def test_resume_refuses_a_csv_edited_since(tmp_path):
    """The devices still to make would take their values from the edited
    file: a serial the ledger's devices already have could go to a second
    board."""
    from resume_run import ELF, PLACE

    table = tmp_path / "line.csv"
    table.write_text("id,serial\nA,1\nB,2\nC,3\n")
    out = str(tmp_path / "out")
    run_words = velk_command("FLASH", ELF, "--ncrc_value", "--out", out, "--stamp",
                             f"0x{PLACE:08X}:4=csv:{table}:serial")
    done = subprocess.run(run_words, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    table.write_text("id,serial\nA,1\nB,1\nC,3\n")
    before = contents(out)
    again = subprocess.run([*run_words, "--resume"], capture_output=True, text=True)
    assert again.returncode == 255
    assert f"cannot resume {out}/manifest.state: another run's (not the same: the words" \
        in again.stderr, again.stderr
    assert contents(out) == before


def test_a_resume_that_only_writes_the_manifests_names_the_files(tmp_path):
    """Killed after its last batch joined the state, before the manifests
    were in place: the resume makes no device, and still says which files
    each one has."""
    from resume_run import words

    out = str(tmp_path / "out")
    done = subprocess.run(words(out, 3), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    for name in ("manifest.json", "manifest.csv"):
        os.remove(os.path.join(out, name))
    again = subprocess.run([*words(out, 3, "--resume"), "--json"], capture_output=True,
                           text=True)
    assert again.returncode == 0, again.stderr
    devices = json.loads(again.stdout)["devices"]
    assert (devices["made"], devices["files"]) == (0, ["_CRC.elf", "_CRC.hex"])
    check_folder(out, 3)

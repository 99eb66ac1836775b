"""A devices run stopped by kill or Ctrl-C at points spread over its batches,
then resumed, leaves exactly the run's devices: whole, distinct sets whose
files match the manifest's SHA-256 and pass our CHECK. The same 50 times
over, at random points and with several stops a run: scripts/
devices_resume_fuzz.py."""
import os
import signal
import subprocess

import pytest

from conftest import posix_only
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

"""A devices run stopped by kill or Ctrl-C at points spread over its batches,
then resumed, leaves exactly the run's devices: whole, distinct sets whose
files match the manifest's SHA-256 and pass our CHECK. The same 50 times
over, at random points and with several stops a run: scripts/
devices_resume_fuzz.py."""
import os
import signal

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
        if os.path.isdir(folder):
            assert hidden_leftovers(folder) == []
    resumed(folder, COUNT)
    check_folder(folder, COUNT)

"""An interrupted run's end: POSIX ends the process by SIGINT, as a shell
expects; Windows has no such signal, and os.kill would end the process with
status 2, which CI would read as CHECK's "could not verify"."""
import os
import signal

import pytest

import velk_crc


@pytest.mark.parametrize("system, killed", [("posix", True), ("nt", False)])
def test_an_interrupted_run_ends_by_its_systems_means(monkeypatch, system, killed):
    sent = []
    monkeypatch.setattr(os, "name", system)
    monkeypatch.setattr(os, "kill", lambda pid, sig: sent.append(sig))
    monkeypatch.setattr(signal, "signal", lambda *args: None)
    assert velk_crc._end(velk_crc._INTERRUPTED_STATUS) == 130
    assert sent == ([signal.SIGINT] if killed else [])

"""The wheels run this suite on Windows too: no test module may need a
POSIX-only module or signal just to be collected."""

import os
import subprocess
import sys
import textwrap

from conftest import ROOT, TESTS

# What Windows' Python lacks of what the suite reaches for.
COLLECT_WITHOUT_POSIX = textwrap.dedent("""
    import signal, sys
    for name in ["fcntl", "resource", "pty", "termios", "pwd", "grp"]:
        sys.modules[name] = None
    for name in ["SIGHUP", "SIGALRM", "SIGPIPE", "SIGUSR1", "ITIMER_REAL"]:
        if hasattr(signal, name):
            delattr(signal, name)
    import pytest
    # Not the Windows engine's module: collecting it starts its build.
    sys.exit(pytest.main(["--collect-only", "-q", "-p", "no:cacheprovider", sys.argv[1],
                          "--ignore", sys.argv[2]]))
""")


def test_every_module_is_collected_without_posix_modules():
    result = subprocess.run([sys.executable, "-c", COLLECT_WITHOUT_POSIX, TESTS,
                             os.path.join(TESTS, "engine", "test_windows_engine.py")], cwd=ROOT,
                            capture_output=True, text=True, timeout=300,
                            env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert "error" not in result.stdout.splitlines()[-1], result.stdout[-3000:]

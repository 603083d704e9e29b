"""scripts/setup.sh on a machine where another package manager holds apt's lock."""

import fcntl
import os
import pathlib
import re
import shutil
import subprocess
import threading

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
LISTS_LOCK = "/var/lib/apt/lists/lock"

# apt's own configuration for the index refresh: no sources, so "apt-get update"
# takes the real lists lock but fetches nothing and, with List-Cleanup off, keeps
# the lists it finds.
NO_SOURCES = """\
Dir::Etc::sourcelist "/dev/null";
Dir::Etc::sourceparts "{parts}";
APT::Get::List-Cleanup "false";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
"""


@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="apt's locks need root")
@pytest.mark.skipif(shutil.which("apt-get") is None, reason="no apt-get")
def test_setup_waits_for_a_held_lists_lock(tmp_path):
    (tmp_path / "parts").mkdir()
    config = tmp_path / "apt.conf"
    config.write_text(NO_SOURCES.format(parts=tmp_path / "parts"))
    env = {**os.environ, "APT_CONFIG": str(config), "VELMORA_APT_UPDATE": "1"}

    # Held as apt holds it: an fcntl write lock (blocking, should a real apt run hold it now).
    fd = os.open(LISTS_LOCK, os.O_RDWR | os.O_CREAT, 0o640)
    fcntl.lockf(fd, fcntl.LOCK_EX)
    released = threading.Event()

    def release():
        if not released.is_set():
            released.set()
            os.close(fd)

    backstop = threading.Timer(120, release)
    backstop.start()
    later = None
    try:
        setup = subprocess.Popen(["bash", "scripts/setup.sh"], cwd=ROOT, env=env, text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        lines = []
        for line in setup.stdout:
            lines.append(line.rstrip("\n"))
            if line.startswith("setup: waiting") and later is None:
                # Held a few seconds more: setup tries again meanwhile and says it only once.
                later = threading.Timer(3, release)
                later.start()
        assert setup.wait(timeout=60) == 0, "\n".join(lines)
    finally:
        for timer in (backstop, later):
            if timer is not None:
                timer.cancel()
        release()

    waits = [line for line in lines if line.startswith("setup: waiting")]
    assert len(waits) == 1, lines
    assert LISTS_LOCK in waits[0] and f"process {os.getpid()} " in waits[0], waits
    start = lines.index("setup: updating the package index")
    assert re.fullmatch(r"setup: updating the package index: done in \d+ s", lines[start + 2]), lines

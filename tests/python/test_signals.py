"""The trainer run never freezes the interpreter nor outlives the call.

Each case runs a caller in a fresh interpreter with a shell `cargo` that
traps signals the way a trainer would, then checks what the call raised, how
the trainer ended and that nothing of it is left.
"""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from support import fake_cargo

# Stops on INT or TERM after noting which, or ignores both; runs 60 s otherwise.
POLITE = "trap 'echo INT > \"$T_END\"; exit 130' INT; trap 'echo TERM > \"$T_END\"; exit 143' TERM"
STUBBORN = "trap '' INT TERM"
TRAINER = """#!/bin/sh
{traps}
echo $$ > "$T_PID"
i=0
while [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done
exit 0
"""

CALLER = """
import _thread, os, signal, sys, threading, time
import velmora_trainer

def when_started(action):
    def run():
        while not os.path.exists(os.environ["T_PID"]):
            time.sleep(0.01)
        time.sleep(0.2)
        action()
    threading.Thread(target=run, daemon=True).start()

def two_interrupts():
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(0.5)
    os.kill(os.getpid(), signal.SIGINT)

def raise_(exc):
    raise exc

{setup}
try:
    velmora_trainer.train_from_config(os.environ["T_CONFIG"], "out", 1, 2)
    outcome = "returned"
except BaseException as exc:
    outcome = type(exc).__name__
pid = int(open(os.environ["T_PID"]).read())
try:
    os.kill(pid, 0)
    alive = "alive"
except ProcessLookupError:
    alive = "gone"
try:
    os.waitpid(-1, os.WNOHANG)
    children = "children"
except ChildProcessError:
    children = "none"
end = open(os.environ["T_END"]).read().strip() if os.path.exists(os.environ["T_END"]) else "-"
print(outcome, end, alive, children, flush=True)
"""


def spawn_caller(tmp_path, traps, setup):
    directory = tmp_path / "bin"
    fake_cargo.install(directory, TRAINER.format(traps=traps))
    config = tmp_path / "c.json"
    config.write_text("{}")
    env = dict(os.environ, PATH=f"{directory}{os.pathsep}{os.environ['PATH']}", T_CONFIG=str(config),
               T_PID=str(tmp_path / "pid"), T_END=str(tmp_path / "end"))
    code = textwrap.dedent(CALLER).format(setup=setup)
    return subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True)


def signal_when_started(tmp_path, process, send):
    deadline = time.monotonic() + 30
    while not (tmp_path / "pid").exists():
        assert time.monotonic() < deadline and process.poll() is None, process.communicate()
        time.sleep(0.01)
    time.sleep(0.2)
    send(process.pid)


# (traps, setup in the caller, signal sent from outside, expected last line)
CASES = {
    "ctrl-c to the process group": (POLITE, "", lambda pid: os.killpg(pid, signal.SIGINT),
                                    "KeyboardInterrupt INT gone none"),
    "sigint to the caller alone": (POLITE, "", lambda pid: os.kill(pid, signal.SIGINT),
                                   "KeyboardInterrupt INT gone none"),
    "interrupt_main from a thread": (POLITE, "when_started(_thread.interrupt_main)", None,
                                     "KeyboardInterrupt INT gone none"),
    "alarm handler raising": (
        POLITE, "signal.signal(signal.SIGALRM, lambda *a: raise_(TimeoutError()))\n"
                "when_started(lambda: signal.setitimer(signal.ITIMER_REAL, 0.05))", None,
        "TimeoutError TERM gone none"),
    "sigterm handler exiting, sent from a thread": (
        POLITE, "signal.signal(signal.SIGTERM, lambda *a: sys.exit(3))\n"
                "when_started(lambda: os.kill(os.getpid(), signal.SIGTERM))", None,
        "SystemExit TERM gone none"),
    "trainer ignoring both, interrupted twice": (STUBBORN, "when_started(two_interrupts)", None,
                                                 "KeyboardInterrupt - gone none"),
}


@pytest.mark.parametrize("case", CASES)
def test_handlers_act_during_the_run_and_the_trainer_never_outlives_the_call(tmp_path, case):
    traps, setup, send, expected = CASES[case]
    process = spawn_caller(tmp_path, traps, setup)
    if send is not None:
        signal_when_started(tmp_path, process, send)
    # The trainer would run for 60 s: ending well before shows that the
    # handlers acted during the run (the stubborn one is killed after 5 s).
    out, err = process.communicate(timeout=30)
    assert out.decode().splitlines()[-1:] == [expected], err.decode()


def test_interrupt_during_the_check_starts_no_trainer(tmp_path):
    # About 40 MB of YAML: its check takes a second or more.
    config = tmp_path / "big.yaml"
    with open(config, "w") as f:
        for block in range(30_000):
            f.write("".join(f"k{block}_{i}: [1, 2, {{a: b}}]\n" for i in range(50)))
    directory = tmp_path / "bin"
    fake_cargo.install(directory, "#!/bin/sh\n: > \"$T_STARTED\"\n")
    env = dict(os.environ, PATH=f"{directory}{os.pathsep}{os.environ['PATH']}", T_STARTED=str(tmp_path / "started"))
    code = ("import sys, velmora_trainer\nprint('calling', flush=True)\n"
            f"velmora_trainer.train_from_config({str(config)!r}, 'out', 1, 2)\n")
    process = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"calling\n"
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    assert b"KeyboardInterrupt" in err
    assert not (tmp_path / "started").exists()


PUMPED = """
import os, sys, threading, time
import velmora_trainer

console = os.dup(1)
read_end, write_end = os.pipe()
os.dup2(write_end, 1)
os.dup2(write_end, 2)
os.close(write_end)
drained = []
threading.Thread(target=lambda: [drained.append(len(b)) for b in iter(lambda: os.read(read_end, 65536), b"")],
                 daemon=True).start()
ticks = []
def count():
    while True:
        ticks.append(time.monotonic())
        time.sleep(0.005)
threading.Thread(target=count, daemon=True).start()
start = time.monotonic()
velmora_trainer.train_from_config(sys.argv[1], "out", 1, 2)
end = time.monotonic()
time.sleep(0.2)
os.write(console, f"{{sum(drained)}} {{sum(1 for t in ticks if start < t < end)}}\\n".encode())
"""


def test_output_drained_by_a_thread_and_other_threads_run_during_the_run(tmp_path):
    # As in a notebook kernel: fd 1 and 2 are a pipe that a Python thread
    # drains. The trainer writes 1 MiB, far more than a pipe holds.
    directory = tmp_path / "bin"
    fake_cargo.install(directory, "#!/bin/sh\nhead -c 1048576 /dev/zero | tr '\\0' x\nsleep 0.3\n")
    config = tmp_path / "c.json"
    config.write_text("{}")
    env = dict(os.environ, PATH=f"{directory}{os.pathsep}{os.environ['PATH']}")
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(PUMPED).replace("{{", "{").replace("}}", "}"),
                          str(config)], env=env, capture_output=True, timeout=60).stdout
    drained, ticks = map(int, out.split())
    assert drained >= 1 << 20
    assert ticks > 0


TIED_TRAINER = '#!/bin/sh\necho $$ > "$T_DIR/pid.$$"\nexec sleep 60\n'
TIED_CALLER = """
import os, sys, threading, time
import velmora_trainer
def call():
    try:
        velmora_trainer.train_from_config(sys.argv[1], "out", 1, 2)
    except BaseException:
        pass
threads = [threading.Thread(target=call, daemon=True) for _ in range(int(sys.argv[2]))]
for thread in threads:
    thread.start()
if sys.argv[3] == "wait":
    call()
while len([n for n in os.listdir(os.environ["T_DIR"]) if n.startswith("pid.")]) < len(threads):
    time.sleep(0.01)
"""


def running(pid):
    """True while `pid` runs (a zombie that nobody reaps has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


# (daemon threads calling, main thread calling too, signal sent once all run, time allowed)
CALLER_ENDS = {
    "killed outright": (0, "wait", signal.SIGKILL, 1.0),
    "sigterm with no handler": (0, "wait", signal.SIGTERM, 1.0),
    "interpreter exit with 4 calls on daemon threads": (4, "exit", None, 6.0),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the tie to the caller is Linux's")
@pytest.mark.parametrize("case", CALLER_ENDS)
def test_the_trainer_never_outlives_its_caller(tmp_path, case):
    daemons, main, send, allowed = CALLER_ENDS[case]
    directory = tmp_path / "bin"
    fake_cargo.install(directory, TIED_TRAINER)
    config = tmp_path / "c.json"
    config.write_text("{}")
    env = dict(os.environ, PATH=f"{directory}{os.pathsep}{os.environ['PATH']}", T_DIR=str(tmp_path))
    # The caller's stderr is a file: an orphaned trainer would hold a pipe open.
    with open(tmp_path / "stderr", "w") as err:
        caller = subprocess.Popen([sys.executable, "-c", TIED_CALLER, str(config), str(daemons), main],
                                  env=env, stderr=err)
    expected = daemons + (main == "wait")
    deadline = time.monotonic() + 30
    while len(list(tmp_path.glob("pid.*"))) < expected:
        assert time.monotonic() < deadline and caller.poll() is None, (tmp_path / "stderr").read_text()
        time.sleep(0.01)
    pids = [int(p.read_text()) for p in tmp_path.glob("pid.*")]
    if send is not None:
        caller.send_signal(send)
    caller.wait(timeout=30)
    assert caller.returncode == (-send if send else 0), (tmp_path / "stderr").read_text()
    deadline = time.monotonic() + allowed
    while any(map(running, pids)) and time.monotonic() < deadline:
        time.sleep(0.02)
    left = [pid for pid in pids if running(pid)]
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    assert left == [], f"trainers outlived their caller: {left}"

"""train_from_config in a real Jupyter kernel (ipykernel), driven by jupyter_client."""

import os
import time

import pytest
from jupyter_client.manager import start_new_kernel

from conftest import gone


@pytest.fixture
def kernel(trainer):
    # The kernel's own environment, as in a notebook: ipykernel captures fd 1
    # and 2 only outside a pytest run.
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    manager, client = start_new_kernel(kernel_name="python3", env=env)
    try:
        yield manager, client
    finally:
        client.stop_channels()
        manager.shutdown_kernel(now=True)


def run_cell(client, code, timeout=120, while_running=None):
    """Runs `code`; returns its reply content and the text of its output streams."""
    msg_id = client.execute(code)
    streamed = []
    deadline = time.monotonic() + timeout
    while True:
        if while_running is not None:
            while_running()
        try:
            message = client.get_iopub_msg(timeout=0.2)
        except Exception:  # queue.Empty
            assert time.monotonic() < deadline, "the cell never finished"
            continue
        if message["parent_header"].get("msg_id") != msg_id:
            continue
        if message["msg_type"] == "stream":
            streamed.append(message["content"]["text"])
        if message["msg_type"] == "status" and message["content"]["execution_state"] == "idle":
            break
    return client.get_shell_msg(timeout=timeout)["content"], "".join(streamed)


def test_output_of_a_megabyte_reaches_the_notebook(kernel, trainer, monkeypatch):
    manager, client = kernel
    config = trainer.directory / "c.json"
    code = (f"import os, velmora_trainer\nos.environ['T_PRINT'] = '1100000'\n"
            f"velmora_trainer.train_from_config({str(config)!r}, 'out', 1, 2)\nprint('returned')")
    reply, output = run_cell(client, code)
    assert reply["status"] == "ok", reply
    # The trainer's output comes through the kernel's pipe-draining thread,
    # the print straight from the cell: their order on the channel may vary.
    assert output.count("x") >= 1_100_000 and "returned\n" in output, len(output)


def test_kernel_interrupt_ends_the_run_and_the_trainer(kernel, trainer):
    manager, client = kernel
    config = trainer.directory / "c.json"
    code = (f"import os, velmora_trainer\nos.environ['T_SECONDS'] = '60'\n"
            f"velmora_trainer.train_from_config({str(config)!r}, 'out', 1, 2)")
    interrupted = []

    def interrupt_once_started():
        if not interrupted and trainer.pid() is not None:
            time.sleep(0.2)
            manager.interrupt_kernel()
            interrupted.append(time.monotonic())

    reply, _ = run_cell(client, code, timeout=30, while_running=interrupt_once_started)
    assert reply["status"] == "error" and reply["ename"] == "KeyboardInterrupt", reply
    assert trainer.end() == "INT" and gone(trainer.pid())

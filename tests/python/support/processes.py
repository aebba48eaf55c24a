"""What a test must not do to its own process: lower its address space, fork it, send it signals.
These run the call in a child, or keep the signal to a window the test controls."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

# The child's address space may grow this much past what it uses when it sets the limit: enough
# for small batches and arenas, far too little for the requests that must fail.
HEADROOM = 1 << 30


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def skip_under_address_sanitizer(why):
    if under_address_sanitizer():
        pytest.skip(why)


def run_limited(script, timeout=300):
    """Runs the Python source `script` in a child interpreter whose address space is limited to
    what it uses after importing tavlok plus HEADROOM; returns the finished process (text)."""
    prelude = textwrap.dedent(f"""
        import resource
        import tavlok
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + {HEADROOM}, used + {HEADROOM}))
    """)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=timeout, check=False)


def forked(child, timeout=60):
    """Forks; the child runs child() and exits with what it returns (1 if it raises). Returns the
    child's exit code, killing it when it has not ended after timeout seconds."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = child()
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        finished, status = os.waitpid(pid, os.WNOHANG)
        if finished:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail(f"a forked child did not end within {timeout} s")


def interrupted(call, has_note, delay=0.02, attempts=5):
    """The KeyboardInterrupt that a SIGINT, sent from another thread `delay` seconds after call()
    starts, raises from inside call: the one for which has_note(error) holds. A signal that lands
    before call reaches its long part, or after it ends, is tried again."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for _ in range(attempts):
            sender = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
            try:
                sender.start()
                call()
                sender.join()
                # A signal that came after the call runs its handler at the next loop turn.
                for _ in range(1000):
                    pass
            except KeyboardInterrupt as error:
                sender.join()
                if has_note(error):
                    return error
        pytest.fail(f"{attempts} signals did not stop the call from inside")
    finally:
        signal.signal(signal.SIGINT, previous)

"""Throwaway /etc and /dev for the tests that run installed programs as root.

Must run in a mount namespace of its own (unshare --mount --propagation
private): overlays with upper layers on a tmpfs cover /etc and /dev, so that
what the programs write is gone with the namespace, and a receiver bound to
the private /dev/log collects what they send to the system log.
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time


def fail(message):
    print("FAILED: " + message, file=sys.stderr)
    sys.exit(1)


SKIPPED = 77  # the test's Restrictions say skippable


def mount(*arguments):
    """Mounts, or skips the test where the testbed refuses mounts."""
    result = subprocess.run(["mount", *arguments], capture_output=True, text=True)
    if result.returncode == 0:
        return
    if "ermission denied" in result.stderr or "not permitted" in result.stderr:
        print(f"skipped: the testbed refuses mounts: {result.stderr.strip()}", file=sys.stderr)
        sys.exit(SKIPPED)
    fail(f"mount {' '.join(arguments)}: {result.stderr.strip()}")


def cover(layers, directory):
    name = directory.strip("/").replace("/", "_")
    upper, work = f"{layers}/{name}.upper", f"{layers}/{name}.work"
    os.mkdir(upper)
    os.mkdir(work)
    mount("-t", "overlay", "overlay", "-o",
          f"lowerdir={directory},upperdir={upper},workdir={work}", directory)


class SystemLog:
    """Every message sent to /dev/log, in order of arrival."""

    def __init__(self):
        if os.path.lexists("/dev/log"):
            os.remove("/dev/log")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind("/dev/log")
        self.messages = []
        self.lock = threading.Lock()
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self):
        while True:
            datagram = self.socket.recv(65536).decode("utf-8", "replace")
            # "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE"
            priority = datagram[1:datagram.index(">")]
            message = datagram.split(": ", 1)[1] if ": " in datagram else datagram
            with self.lock:
                self.messages.append((int(priority) & 7, message))

    def take(self, count, seconds=10):
        """Waits for at least count messages, returns and forgets them all."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.messages) >= count:
                    break
            time.sleep(0.05)
        time.sleep(0.2)  # one more that should not be there arrives by now
        with self.lock:
            taken, self.messages = self.messages, []
        return taken


def enter():
    """Lays the private /etc and /dev; returns the system log receiver."""
    if os.geteuid() != 0:
        fail("needs root")
    mount("--make-rprivate", "/")
    layers = tempfile.mkdtemp()
    mount("-t", "tmpfs", "-o", "mode=0700", "tmpfs", layers)
    cover(layers, "/etc")
    cover(layers, "/dev")
    return SystemLog()

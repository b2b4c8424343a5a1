"""The installed tool, run twice on the same input over a throwaway /etc."""
import os
import stat
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import private_mounts  # noqa: E402

SYSTEM_FILE = "/etc/Vardel/Tamo/tamo.settings.cfg"
INPUT_FILE = "/etc/tamo/config/zlv-install.properties"
INPUT = "AUTO_UPDATE=enable\nweb_tamo=1\nWEB_TAMO_SECURITY_LEVEL=vh\nFOO=bar\n"
WRITTEN = "AUTO_UPDATE=Enable\nFOO=bar\nWEB_TAMO=1\nWEB_TAMO_SECURITY_LEVEL=VH\n"
CREATING = "No pre-existing config file. Creating new one."
AUTO_UPDATE = "There is no auto update support on this platform"
LOG_ERR = 3


def run_tool(log, expected_messages):
    tool = os.environ.get("TAMO_INSTALL_CONFIG", "/usr/sbin/tamo-install-config")
    result = subprocess.run([tool], capture_output=True, text=True)
    if result.returncode != 0:
        private_mounts.fail(f"exit status {result.returncode}")
    if result.stdout or result.stderr:
        private_mounts.fail(f"printed {result.stdout!r} {result.stderr!r}")
    messages = log.take(len(expected_messages))
    if messages != [(LOG_ERR, text) for text in expected_messages]:
        private_mounts.fail(f"logged {messages}, expected {expected_messages} at LOG_ERR")
    with open(SYSTEM_FILE) as settings:
        written = settings.read()
    if written != WRITTEN:
        private_mounts.fail(f"{SYSTEM_FILE} holds {written!r}, expected {WRITTEN!r}")
    mode = stat.S_IMODE(os.stat(SYSTEM_FILE).st_mode)
    if mode != 0o644:
        private_mounts.fail(f"{SYSTEM_FILE} has mode {mode:o}")


def main():
    log = private_mounts.enter()
    if os.path.exists("/etc/Vardel"):
        private_mounts.fail("/etc/Vardel exists before the first run")
    os.makedirs(os.path.dirname(INPUT_FILE))
    with open(INPUT_FILE, "w") as properties:
        properties.write(INPUT)
    run_tool(log, [CREATING, AUTO_UPDATE])
    print("ok: first run created the settings file and logged its creation")
    run_tool(log, [AUTO_UPDATE])
    print("ok: second run kept the settings file and logged no creation")
    mode = stat.S_IMODE(os.stat("/etc/Vardel").st_mode)
    if mode != 0o700:
        private_mounts.fail(f"/etc/Vardel has mode {mode:o}")
    print("ok: the new parent directories have mode 700")


main()

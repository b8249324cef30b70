"""A PyKCS11 application sees slot events when the card process goes away
and comes back (scripts/stack.sh remove / insert behind the real pcscd)."""
import os
import signal
import subprocess
import sys
import tempfile

import PyKCS11
from PyKCS11.LowLevel import CKF_DONT_BLOCK, CKR_NO_EVENT

MODULE = sys.argv[1]
STACK = os.environ["STACK_SCRIPT"]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def stack(command):
    subprocess.run(["bash", STACK, command], check=True)


def blocking_wait(lib):
    # A lost event would block for ever: fail instead.
    signal.alarm(60)
    try:
        return lib.waitForSlotEvent()
    finally:
        signal.alarm(0)


def token_present(lib, slot):
    return bool(lib.getSlotInfo(slot).flags & PyKCS11.CKF_TOKEN_PRESENT)


with tempfile.TemporaryDirectory() as work:
    conf = os.path.join(work, "brisane.txt")
    with open(conf, "w") as f:
        f.write("cache = %s/cache/\n" % work)
    os.environ["BRISANE_CONF"] = conf

    lib = PyKCS11.PyKCS11Lib()
    lib.load(MODULE)
    # The first waits report the card that is already in.
    first = []
    while True:
        try:
            first.append(lib.waitForSlotEvent(CKF_DONT_BLOCK))
        except PyKCS11.PyKCS11Error as e:
            check(e.value == CKR_NO_EVENT, "non-blocking wait failed with %s" % e)
            break
    check(first == [0], "initial events %r, expected [0]" % first)
    check(token_present(lib, 0), "no token in slot 0 at the start")

    stack("remove")
    try:
        slot = blocking_wait(lib)
        check(slot == 0, "card removal reported for slot %r" % slot)
        check(not token_present(lib, 0), "slot 0 still has a token after removal")
    finally:
        stack("insert")
    slot = blocking_wait(lib)
    check(slot == 0, "card insertion reported for slot %r" % slot)
    check(token_present(lib, 0), "slot 0 has no token after insertion")
    label = lib.getTokenInfo(0).label.strip()
    check(label == "Brisane 3.1 Kalvik", "token label %r" % label)

if failures:
    sys.exit(1)
print("slot events seen")

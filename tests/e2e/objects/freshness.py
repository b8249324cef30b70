"""A running PyKCS11 application sees at its next search what other
processes (pkcs11-tool) changed on the card, and never an object that is
gone: not after another process deleted it, and not after the card went
back to an earlier image of itself (kalvik-vcard serving an older copy
behind the real pcscd), although its cache files still list the object."""
import os
import shutil
import subprocess
import sys
import tempfile

import PyKCS11

MODULE = sys.argv[1]
STACK = os.environ["STACK_SCRIPT"]
IMAGE = os.path.join(os.environ["STACK_DIR"], "card.img")
PIN = "123456"
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def other_process(*args):
    """pkcs11-tool, logged in, as another application on the same card, with
    a cache of its own: only the card tells this application of the change."""
    command = ["pkcs11-tool", "--module", MODULE, "--login", "--pin", PIN, *args]
    result = subprocess.run(command, capture_output=True, text=True,
                            env=dict(os.environ, BRISANE_CONF=OTHER_CONF))
    print("==", " ".join(command[3:]))
    print(result.stdout + result.stderr, end="")
    check(result.returncode == 0, "pkcs11-tool %s: exit code %d" % (args, result.returncode))


def write_data(work, label):
    path = os.path.join(work, label)
    with open(path, "wb") as f:
        f.write(b"value of " + label.encode())
    other_process("--write-object", path, "--type", "data", "--label", label)


def labels(session):
    """The labels of the data objects the application finds now."""
    found = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA)])
    return sorted(session.getAttributeValue(o, [PyKCS11.CKA_LABEL])[0] for o in found)


def handle_of(session, label):
    found = session.findObjects([(PyKCS11.CKA_LABEL, label)])
    check(len(found) == 1, "%s found %d times" % (label, len(found)))
    return found[0] if found else None


def error_of(call):
    try:
        call()
    except PyKCS11.PyKCS11Error as e:
        return e.value
    return PyKCS11.CKR_OK


def stack(command):
    subprocess.run(["bash", STACK, command], check=True)


def configuration(work, name):
    path = os.path.join(work, name + ".txt")
    with open(path, "w") as f:
        f.write("cache = %s/%s-cache/\n" % (work, name))
    return path


with tempfile.TemporaryDirectory() as work:
    os.environ["BRISANE_CONF"] = configuration(work, "application")
    OTHER_CONF = configuration(work, "other")

    lib = PyKCS11.PyKCS11Lib()
    lib.load(MODULE)
    slot = lib.getSlotList(tokenPresent=True)[0]
    session = lib.openSession(slot)
    check("fresh-1" not in labels(session), "fresh-1 on the card before the test")

    write_data(work, "fresh-1")
    check("fresh-1" in labels(session), "an object written by another process is not found")
    handle = handle_of(session, "fresh-1")

    other_process("--delete-object", "--type", "data", "--label", "fresh-1")
    check("fresh-1" not in labels(session), "an object deleted by another process is still found")
    if handle is not None:
        check(error_of(lambda: session.getAttributeValue(handle, [PyKCS11.CKA_LABEL]))
              == PyKCS11.CKR_OBJECT_HANDLE_INVALID,
              "the handle of a deleted object still answers")

    # The card goes back to an image taken before fresh-2 was written.
    earlier = os.path.join(work, "earlier.img")
    shutil.copyfile(IMAGE, earlier)
    write_data(work, "fresh-2")
    check("fresh-2" in labels(session), "fresh-2 is not found")
    stack("remove")
    shutil.copyfile(earlier, IMAGE)
    stack("insert")
    check(error_of(lambda: labels(session)) != PyKCS11.CKR_OK,
          "a session survived the card going away")
    session = lib.openSession(slot)
    check("fresh-2" not in labels(session), "the earlier card shows fresh-2 from the cache")
    session.closeSession()

if failures:
    sys.exit(1)
print("freshness checks passed")

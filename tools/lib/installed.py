"""Fails unless the kestrum this interpreter imports is the one installed from WHEEL.

    python tools/lib/installed.py WHEEL

Run by tools/test-wheel.sh and tools/test-arm64-wheel.sh before the suite: the tests must see
the installed module, inside the environment, with the very bytes of the wheel's module, never
a build from the source tree or a stale install.
"""

import hashlib
import os
import platform
import sys
import zipfile

import kestrum

where = os.path.realpath(kestrum.__file__)
if not where.startswith(os.path.realpath(sys.prefix) + os.sep):
    sys.exit(f"kestrum is imported from {where}, outside the environment {sys.prefix}")
with zipfile.ZipFile(sys.argv[1]) as wheel:
    shipped = wheel.read(os.path.basename(where))
with open(where, "rb") as installed:
    if hashlib.sha256(installed.read()).digest() != hashlib.sha256(shipped).digest():
        sys.exit(f"{where} is not the module of {sys.argv[1]}")
print("testing", where, "on", sys.version.split()[0], platform.machine())

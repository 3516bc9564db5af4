#!/usr/bin/env python3
"""Loads KX1394DRV64.sys in Wine's device host and runs its entry point and unload routine.

Wine's ntoskrnl.exe and hal.dll implement enough of the kernel for a driver's entry point: the image
is mapped and relocated, its imports are bound by name, DriverEntry runs with the service's registry
path, and DriverUnload runs when the service stops. This proves on a real PE loader what the image
check reads from the file: that the image loads at another base, that every import resolves, and
that driver entry, built for Windows, reads and writes its tuning values with Windows widths.

In a fresh Wine prefix, the driver is installed as a demand-start kernel service, with one value
(IsoRxNumOfBuf = 5, inside its range) already under Parameters. After `sc start` the service must be
RUNNING (DriverEntry returned success). Wine's registry trace of the session must show the driver
opening <service key>\Parameters, querying all nine tuning values and writing each absent one as a
4-byte REG_DWORD. After `sc stop` the service must be STOPPED with exit code 0 (DriverUnload ran)
and the preset value must be unchanged.

The writes themselves do not reach Wine's registry: the driver opens the key for KEY_READ, and Wine
checks every handle's granted access, while Windows grants a kernel-mode caller (ZwSetValueKey from a
driver) any access on its own handles. So the test reads the writes from the trace, not the registry.

Exit 77 (skipped) when Wine is not installed.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SERVICE = "KX1394DRV64"
SERVICE_KEY = rf"HKLM\System\CurrentControlSet\Services\{SERVICE}"
PARAMETERS_KEY = SERVICE_KEY + r"\Parameters"
PRESET = {"IsoRxNumOfBuf": 5}
TUNING_VALUES = ["SPLIT_TIMEOUT", "BandwidthForDriver", "IsoRxNumOfBuf", "IsoRxStreamBase", "IsoTxNumOfBuf",
                 "IsoDirectDMA", "DesktopCameraEnable", "AsyncWait", "aPhyEnhanceEnable"]
REG_DWORD = 4


class Wine:
    def __init__(self, wine, wineserver, prefix):
        self.wine = wine
        self.wineserver = wineserver
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def run(self, *args, timeout=120, check=True):
        # Output goes to a file, not a pipe: Wine's background processes (services, the device host)
        # inherit the handles and would keep a pipe open long after the command returns.
        with tempfile.TemporaryFile(mode="w+") as out:
            result = subprocess.run([self.wine, *args], env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                    timeout=timeout, stdin=subprocess.DEVNULL)
            out.seek(0)
            text = out.read()
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)} failed ({result.returncode}):\n{text}")
        return text

    def start_services(self, log_path):
        with open(log_path, "a") as log:
            subprocess.run([self.wine, "sc", "query", SERVICE], env=dict(self.env, WINEDEBUG="+reg"), stdout=log,
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=120, check=False)

    def server(self, *args):
        subprocess.run([self.wineserver, *args], env=self.env, timeout=60, check=False,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def service_state(self):
        out = self.run("sc", "query", SERVICE, check=False)
        state = re.search(r"STATE\s*:\s*(\d+)", out)
        code = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", out)
        return (int(state.group(1)) if state else None, int(code.group(1)) if code else None)

    def values(self, key):
        out = self.run("reg", "query", key, check=False)
        found = {}
        for line in out.splitlines():
            m = re.match(r"^\s+(\S+)\s+(REG_\w+)\s+(\S+)\s*$", line)
            if m:
                found[m.group(1)] = (m.group(2), m.group(3))
        return found


def check_trace(text):
    """What Wine's registry trace must show of driver entry."""
    failures = []
    if not re.search(r'NtCreateKey \([^,]*,L"\\\\Registry\\\\Machine\\\\System\\\\CurrentControlSet\\\\Services'
                     rf'\\\\{SERVICE}\\\\Parameters"', text):
        failures.append(f"the driver did not open the {SERVICE}\\Parameters key")
    for name in TUNING_VALUES:
        if not re.search(rf'NtQueryValueKey \([^,]*,L"{name}",', text):
            failures.append(f"the driver did not query {name}")
        if name in PRESET:
            continue
        writes = re.findall(rf'NtSetValueKey \([^,]*,L"{name}",(\d+),[^,]*,(\d+)\)', text)
        if not writes:
            failures.append(f"the driver did not write the absent {name}")
        elif any((int(kind), int(size)) != (REG_DWORD, 4) for kind, size in writes):
            failures.append(f"the driver wrote {name} as (type, size) {writes}, expected a 4-byte REG_DWORD")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--image", required=True)
    parser.add_argument("--prefix", required=True, help="Wine prefix to create (removed first)")
    args = parser.parse_args()

    wine = shutil.which("wine64") or shutil.which("wine")
    wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
    if not wine or not os.path.exists(wineserver):
        print("Wine is not installed: skipped")
        return 77

    shutil.rmtree(args.prefix, ignore_errors=True)
    session = Wine(wine, wineserver, os.path.abspath(args.prefix))
    failures = []
    try:
        session.run("wineboot", "-i", timeout=300)
        session.server("-w")  # let the prefix set-up finish its background work
        # One wineserver for the whole test, so that the device host keeps the driver loaded between
        # the commands below.
        session.server("-p")
        # The first command of the session starts Wine's service manager, which hands its output,
        # with the registry trace of every service it starts, down to the device host.
        trace = os.path.join(os.path.abspath(args.prefix), "registry-trace.log")
        session.start_services(trace)
        drivers = os.path.join(args.prefix, "drive_c", "windows", "system32", "drivers")
        shutil.copy(args.image, os.path.join(drivers, f"{SERVICE}.sys"))
        session.run("sc", "create", SERVICE, "type=", "kernel", "start=", "demand",
                    "binPath=", rf"C:\windows\system32\drivers\{SERVICE}.sys")
        if session.service_state()[0] != 1:
            raise RuntimeError(f"the {SERVICE} service was not created")
        for name, value in PRESET.items():
            session.run("reg", "add", PARAMETERS_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f")

        session.run("sc", "start", SERVICE, check=False)
        deadline = time.monotonic() + 60
        state = session.service_state()
        while state[0] != 4 and time.monotonic() < deadline:
            time.sleep(0.5)
            state = session.service_state()
        if state[0] != 4:
            failures.append(f"service not RUNNING after start (state {state[0]}, exit code {state[1]})")

        session.run("sc", "stop", SERVICE, check=False)
        deadline = time.monotonic() + 60
        state = session.service_state()
        while state[0] != 1 and time.monotonic() < deadline:
            time.sleep(0.5)
            state = session.service_state()
        if state != (1, 0):
            failures.append(f"service not STOPPED cleanly after stop (state {state[0]}, exit code {state[1]})")

        values = session.values(PARAMETERS_KEY)
        for name, value in PRESET.items():
            got = values.get(name)
            if got is None or got[0] != "REG_DWORD" or int(got[1], 0) != value:
                failures.append(f"preset Parameters\\{name} is {got}, expected REG_DWORD {value}")
        with open(trace, errors="replace") as f:
            failures += check_trace(f.read())
    finally:
        session.server("-k")

    for failure in failures:
        print("FAIL: " + failure)
    print(f"{SERVICE}.sys under Wine: {'FAILED' if failures else 'loaded; entry queried and wrote its values; unload ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

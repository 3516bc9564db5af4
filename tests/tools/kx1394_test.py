#!/usr/bin/env python3
"""Runs the kx1394 tool and checks what it prints and how it exits. Usage: kx1394_test.py TOOL CASE"""
import json
import os
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]


def run(*args, expect_rc=0):
    done = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120)
    if done.returncode != expect_rc:
        fail(f"kx1394 {' '.join(args)}: exit {done.returncode}, expected {expect_rc}\n"
             f"stdout:\n{done.stdout}\nstderr:\n{done.stderr}")
    return done


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def run_json(*args):
    done = run("--json", *args)
    try:
        return json.loads(done.stdout)
    except json.JSONDecodeError as error:
        fail(f"not JSON ({error}):\n{done.stdout}")


def case_help():
    out = run("--help").stdout
    check(out.startswith("usage: kx1394"), out)
    for word in ("bus", "reset --long|--short", "watch [--for SECONDS]", "--json", "--bus FILE",
                 "read NODE OFFSET [LENGTH]", "write NODE OFFSET HEXDATA", "lock NODE OFFSET OP ARG DATA",
                 "phy QUADLET", "stream CHANNEL HEXDATA", "rom NODE", "camera NODE"):
        check(word in out, f"--help does not mention {word!r}")


def case_bus_human():
    out = run("bus").stdout
    lines = {line[:20].strip(): line[21:] for line in out.splitlines()}
    check(lines.get("node count") == "5", out)
    check(lines.get("interface version") == "0x0032", out)
    check(lines.get("OHCI version") == "1.10", out)
    check(lines.get("bus resets", "").isdigit(), out)
    for node in range(5):
        check(f"speed to node {node}" in lines, out)
    check("speed to node 5" not in lines, out)


def case_bus_json():
    bus = run_json("bus")
    check(bus["command"] == "bus", bus)
    check(bus["nodeCount"] == 5, bus)
    check(bus["interfaceVersion"] == 0x32, bus)
    check(bus["ohciVersion"] == "1.10", bus)
    check(0 <= bus["localNode"] < 5 and 0 <= bus["irmNode"] < 5, bus)
    check(bus["linkActiveNodes"]["count"] == 5, bus)
    check(int(bus["linkActiveNodes"]["mask"], 16) == 0x1F, bus)
    check(bus["busResetCount"] >= 1, bus)
    check(int(bus["guid"], 16) != 0, bus)
    speeds = bus["speeds"]
    check([s["node"] for s in speeds] == list(range(5)), bus)
    for s in speeds:
        # A speed as the driver answers it, or the reason it has none.
        check(isinstance(s["code"], int) or s.get("unavailable", {}).get("code"), s)
    # Each node's vendor and model from its ROM, or the reason there are none.
    nodes = bus["nodes"]
    check([n["node"] for n in nodes] == list(range(5)), bus)
    for n in nodes:
        check(n["nodeId"] == f"0xFFC{n['node']}", n)
        check(isinstance(n["vendorId"], str) or n.get("unavailable", {}).get("vendorId"), n)


def case_bus_file():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "two.bus")
        with open(path, "w") as f:
            f.write("# the controller and one camera\nnode pc controller\nnode cam camera\nconnect pc.0 cam.0\n")
        bus = run_json("--bus", path, "bus")
    check(bus["nodeCount"] == 2 and len(bus["speeds"]) == 2, bus)


def reset(kind):
    out = run_json("reset", "--" + kind)
    check(out["kind"] == kind and out["initiated"] is True, out)
    check(out["busResetCountAfter"] == out["busResetCountBefore"] + 1, out)
    human = run("reset", "--" + kind).stdout
    check(f"{kind} bus reset: initiated" in human, human)


def case_reset_long():
    reset("long")


def case_reset_short():
    reset("short")


def case_watch():
    out = run("watch", "--for", "5").stdout
    check("unplug: disk" in out and "plug: disk to cam2.1" in out, out)
    check(out.count("bus-reset\n") >= 4, out)
    check("bus-ready: nodes 4" in out and "bus-ready: nodes 5" in out, out)


def case_watch_json(*extra):
    out = run_json(*extra, "watch", "--for", "5")
    check(out["busResetEvents"] >= 4 and out["busReadyEvents"] >= 4, out)
    events = out["events"]
    kinds = [e["event"] for e in events]
    check(kinds.count("unplug") == 2 and kinds.count("plug") == 2, kinds)
    # Every change of the bus is followed by a reset, then by a ready event with the new count.
    expected = 5
    for i, e in enumerate(events):
        if e["event"] in ("unplug", "plug"):
            expected = 4 if e["event"] == "unplug" else 5
            after = [x["event"] for x in events[i + 1:i + 3]]
            check(after == ["bus-reset", "bus-ready"], events)
        if e["event"] == "bus-ready":
            check(e["nodeCount"] == expected, events)
    times = [e["t"] for e in events]
    check(times == sorted(times) and times[-1] < 5, times)
    check(out["nodeCount"] == 5, out)


def case_watch_32():
    # A 32-bit program registers its events with handles in the 32-bit layout.
    case_watch_json("--32")
    check(run_json("--32", "bus")["processBits"] == 32, "bus --32")


def case_bad_arguments():
    for args, words in ((["frob"], "unknown command"), ([], "no command"), (["reset"], "--long or --short"),
                        (["reset", "--long", "--short"], "exclude"), (["bus", "--long"], "reset command"),
                        (["watch", "--for", "0"], "--for"), (["watch", "--for", "x"], "--for"),
                        (["watch", "--for"], "--for"), (["bus", "--frob"], "unknown option"),
                        (["bus", "--bus"], "--bus"), (["bus", "extra"], "unexpected"),
                        # The transaction commands: every operand checked before the driver is started.
                        (["read"], "too few operands: read NODE OFFSET [LENGTH]"), (["read", "0"], "too few"),
                        (["read", "0", "0", "4", "5"], "too many"), (["read", "63", "0"], "broadcast"),
                        (["read", "0x10000", "0"], "NODE"), (["read", "x", "0"], "NODE"),
                        (["read", "0", "0x1000000000000"], "48-bit"), (["read", "0", "-4"], "OFFSET"),
                        (["read", "0", "0xFFFFF0000402"], "quadlet-aligned"), (["read", "0", "0", "0"], "LENGTH"),
                        (["read", "0", "0", "65536"], "LENGTH"), (["write", "0", "0", "abc"], "HEXDATA"),
                        (["write", "0", "0", "0xzz"], "HEXDATA"), (["write", "0", "2", "01020304"], "quadlet-aligned"),
                        (["lock", "0", "0", "swap", "0", "0"], "OP"), (["lock", "0", "0", "7", "0", "0"], "OP"),
                        (["lock", "0", "0", "fetch_add", "0", "0x100000000"], "DATA"),
                        (["lock", "0", "0", "compare_swap", "0x1FFFFFFFF", "0"], "ARG"),
                        (["lock", "0", "4", "compare_swap", "0", "0", "--size", "8"], "aligned"),
                        (["lock", "0", "0", "compare_swap", "0", "0", "--size", "5"], "--size"),
                        (["lock", "0", "0", "compare_swap", "0"], "too few"),
                        (["read", "0", "0", "--size", "8"], "lock command"), (["phy"], "too few"),
                        (["phy", "0x100000000"], "QUADLET"), (["stream", "64", "00"], "CHANNEL"),
                        (["stream", "1", "00", "--tag", "4"], "--tag"), (["stream", "1", "00", "--sy", "16"], "--sy"),
                        (["stream", "1", "00", "--speed", "S50"], "--speed"),
                        (["rom", "1", "--speed", "S100"], "stream command"), (["rom"], "too few operands: rom NODE"),
                        (["camera", "0", "1"], "too many operands: camera NODE"), (["camera", "99"], "NODE")):
        err = run(*args, expect_rc=2).stderr
        check(err.startswith("kx1394: ") and words in err and "--help" in err, f"{args}: {err}")


def case_bad_bus_file():
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "bad.bus")
        with open(path, "w") as f:
            f.write("node pc controller\nnode cam camera\nconnect pc.0 nobody.0\n")
        err = run("--bus", path, "bus", expect_rc=1).stderr
        check(err.startswith(f"kx1394: {path}: line 3: "), err)
        err = run("--bus", os.path.join(directory, "missing.bus"), "bus", expect_rc=1).stderr
        check("cannot read bus file" in err, err)


globals()["case_" + sys.argv[2]]()
print("ok")

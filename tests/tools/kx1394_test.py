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
                 "phy QUADLET", "stream CHANNEL HEXDATA", "rom NODE", "camera NODE", "topology [--dot FILE]",
                 "speed", "joined by '+'"):
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
                        (["camera", "0", "1"], "too many operands: camera NODE"), (["camera", "99"], "NODE"),
                        # Commands joined by '+'.
                        (["bus", "+"], "a command is missing"), (["+", "bus"], "a command is missing"),
                        (["bus", "+", "--json", "bus"], "go with the first command"),
                        (["bus", "+", "read", "0", "0x3"], "quadlet-aligned")):
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


# ---- Transactions, ROMs and cameras on the model, through the driver's asynchronous requests

CAMERA_BASE = 0xFFFFF0F00000  # the model camera's command registers (command_regs_base 0x3C0000)


def crc16(quadlets):
    crc = 0
    for q in quadlets:
        for bit in range(31, -1, -1):
            top = (crc >> 15) & 1
            crc = (crc << 1) & 0xFFFF
            if ((q >> bit) & 1) ^ top:
                crc ^= 0x1021
    return crc


def text_leaf(text):
    raw = text.encode() + b"\0" * (-len(text) % 4)
    body = [0, 0] + [int.from_bytes(raw[i:i + 4], "big") for i in range(0, len(raw), 4)]
    return body


def camera_rom(guid_lo, bad_leaf=False, truncate=None):
    """An IIDC 1.31 camera's ROM laid out as IEEE 1212 and IIDC say, made here independently of
    the model and the tool: bus information block (its CRC over itself only), root directory,
    unit directory, unit-dependent directory, text leaves. bad_leaf: the model name leaf of the
    root carries a wrong CRC."""
    # Blocks in the order they are laid out after the bus information block; entries name
    # their targets by block number.
    blocks = [
        ("dir", [(0x03, 0x00ACDE), (0x81, "leaf", 1), (0x0C, 0x0083C0), (0x17, 0x000002), (0x81, "leaf", 2),
                 (0xD1, "dir", 3)]),
        ("leaf", text_leaf("Bad Optics")),
        ("leaf", text_leaf("BC-1 wrong CRC")),
        ("dir", [(0x12, 0x00A02D), (0x13, 0x000102), (0xD4, "dir", 4)]),
        ("dir", [(0x40, 0x3C0000), (0x81, "leaf", 5), (0x82, "leaf", 6), (0x38, 0x10)]),
        ("leaf", text_leaf("Bad Optics")),
        ("leaf", text_leaf("BC-1 wrong CRC")),
    ]
    starts, at = [], 5
    for kind, body in blocks:
        starts.append(at)
        at += 1 + len(body)
    image = [0] * at
    image[1:5] = [0x31333934, 0x20FFA202, 0x00ACDE48, guid_lo]
    image[0] = 0x04040000 | crc16(image[1:5])
    for n, (kind, body) in enumerate(blocks):
        start = starts[n]
        quadlets = []
        for i, item in enumerate(body):
            if kind == "leaf":
                quadlets.append(item)
            elif len(item) == 2:
                quadlets.append(item[0] << 24 | item[1])
            else:
                quadlets.append(item[0] << 24 | (starts[item[2]] - (start + 1 + i)))
        crc = crc16(quadlets)
        if bad_leaf and n == 2:
            crc ^= 0x5A5A
        image[start] = len(quadlets) << 16 | crc
        image[start + 1:start + 1 + len(quadlets)] = quadlets
    if truncate:
        image = image[:truncate]
    return image


def bus_with_camera_rom(directory, image):
    rom = os.path.join(directory, "camera.rom")
    with open(rom, "w") as f:
        f.write("# an IIDC camera's ROM\n" + "\n".join(f"0x{q:08x}" for q in image) + "\n")
    path = os.path.join(directory, "camera.bus")
    with open(path, "w") as f:
        f.write("node pc controller\nnode cam camera rom=camera.rom\nconnect pc.0 cam.0\n")
    return path


def find_cameras(*extra):
    """Node numbers of the IIDC cameras, from the bus command's ROM summaries."""
    bus = run_json(*extra, "bus")
    return [n["node"] for n in bus["nodes"] if any(u.startswith("IIDC") for u in n.get("units", []))]


def case_rom_default_bus():
    bus = run_json("bus")
    kinds = {}
    for node in range(bus["nodeCount"]):
        if node == bus["localNode"]:
            # The local node's ROM, read through its own request and loopback: decoded when the
            # driver answers requests to itself; until then the reason is reported, exit status 1.
            done = subprocess.run([TOOL, "--json", "rom", str(node)], capture_output=True, text=True, timeout=120)
            rom = json.loads(done.stdout)
            check(done.returncode == (0 if rom["readable"] else 1), done)
            check(rom["readable"] or rom["failure"] and rom["problems"], rom)
            if not rom["readable"]:
                continue
        else:
            rom = run_json("rom", str(node))
        check(rom["readable"] and rom["crcs"]["bad"] == 0 and rom["crcs"]["unchecked"] == 0, rom)
        check(rom["problems"] == [], rom)
        check(rom["busInfo"]["busName"] == "1394" and rom["busInfo"]["crc"]["good"] is True, rom)
        check(rom["root"]["crc"]["good"] is True, rom)
        for unit in rom["units"]:
            kinds[unit["kind"]] = kinds.get(unit["kind"], 0) + 1
        summary = bus["nodes"][node]
        check(summary["vendorText"] == rom["vendorText"] and summary["modelText"] == rom["modelText"], (summary, rom))
        human = run("rom", str(node)).stdout
        check("bus information block" in human and "root directory" in human and " BAD" not in human, human)
        check("CRCs:" in human and "0 bad" in human, human)
    check(kinds.get("IIDC 1.31") == 2 and kinds.get("SBP-2") == 1, kinds)
    for camera in find_cameras():
        rom = run_json("rom", str(camera))
        check(rom["vendorText"] and rom["modelText"], rom)
        check(rom["units"][0]["commandRegsBase"] == f"0x{CAMERA_BASE:012X}", rom)


def case_bus_vendor_model():
    bus = run_json("bus")
    check(len(bus["nodes"]) == bus["nodeCount"] == 5, bus)
    cameras = [n for n in bus["nodes"] if "IIDC 1.31" in n.get("units", [])]
    check(len(cameras) == 2, bus)
    for n in cameras:
        check(n["vendorText"] and n["modelText"] and n["badCrcs"] == 0, n)
    human = run("bus").stdout
    for n in cameras:
        line = [l for l in human.splitlines() if l.startswith(f"node {n['node']} ")]
        check(line and f"\"{n['vendorText']}\"" in line[0] and f"\"{n['modelText']}\"" in line[0], human)


def case_camera_default_bus():
    cameras = find_cameras()
    check(len(cameras) == 2, cameras)
    for node in range(5):
        if node in cameras:
            out = run_json("camera", str(node))
            check(out["ok"] and out["unit"] == "IIDC 1.31", out)
            formats = out["camera"]["formats"]
            check([f["format"] for f in formats] == [0], out)
            modes = {m["mode"]: m["rates"] for m in formats[0]["modes"]}
            check(modes == {1: ["15 fps", "30 fps"], 5: ["15 fps", "30 fps"]}, modes)
            check("Cam_Power_Cntl" in out["camera"]["basicFunctions"], out)
            # The model's cameras offer brightness, white balance, shutter, gain and a trigger.
            features = out["camera"]["features"]
            check([f["name"] for f in features] == ["Brightness", "White_Balance", "Shutter", "Gain", "Trigger"],
                  features)
            check(all(f["present"] and f.get("min", 0) <= f.get("max", 0) for f in features), features)
            check(out["camera"]["problems"] == [], out)
            human = run("camera", str(node)).stdout
            check("Mode_5 (640x480 Mono 8): 15 fps, 30 fps" in human, human)
        else:
            out = run("camera", str(node), expect_rc=1).stdout
            check("is not an IIDC camera" in out, out)


def case_rom_bad_crc():
    with tempfile.TemporaryDirectory() as directory:
        path = bus_with_camera_rom(directory, camera_rom(0x9, bad_leaf=True))
        bus = run_json("--bus", path, "bus")
        camera = [n for n in bus["nodes"] if n.get("vendorText") == "Bad Optics"]
        check(len(camera) == 1 and camera[0]["badCrcs"] == 1, bus)
        node = str(camera[0]["node"])
        rom = run_json("--bus", path, "rom", node)
        check(rom["crcs"]["bad"] == 1 and rom["crcs"]["good"] == 7, rom)
        check(len(rom["problems"]) == 1 and "CRC" in rom["problems"][0], rom)
        # The leaf is still decoded, and the rest of the ROM with it.
        check(rom["modelText"] == "BC-1 wrong CRC" and rom["units"][0]["kind"] == "IIDC 1.31", rom)
        human = run("--bus", path, "rom", node).stdout
        check("BAD" in human and "1 bad" in human, human)
        # A bad CRC does not stop the camera command either.
        out = run_json("--bus", path, "camera", node)
        check(out["ok"] and out["camera"]["formats"][0]["format"] == 0, out)


def case_rom_truncated():
    # A ROM whose directories point past what the node answers: reported, not crashed on.
    with tempfile.TemporaryDirectory() as directory:
        path = bus_with_camera_rom(directory, camera_rom(0xA, truncate=14))
        bus = run_json("--bus", path, "bus")
        node = [n for n in bus["nodes"] if n.get("vendorId") == "0x00ACDE" and n["nodeId"] != f"0xFFC{bus['localNode']}"]
        check(len(node) == 1, bus)
        node = str(node[0]["node"])
        rom = run_json("--bus", path, "rom", node)
        check(rom["readable"] and rom["crcs"]["unchecked"] >= 1, rom)
        check(any("could not be read" in p for p in rom["problems"]), rom)
        out = run("--bus", path, "camera", node, expect_rc=1).stdout
        check("is not an IIDC camera" in out, out)


def run_json_lines(*args, expect_rc=0):
    done = run("--json", *args, expect_rc=expect_rc)
    try:
        return [json.loads(line) for line in done.stdout.splitlines()]
    except json.JSONDecodeError as error:
        fail(f"not JSON lines ({error}):\n{done.stdout}")


def case_read_write(*extra):
    node = str(find_cameras(*extra)[0])
    reg = lambda offset: hex(CAMERA_BASE + offset)
    # A quadlet read (LENGTH 4) of V_MODE_INQ_0, a block read of Format_0's frame rate inquiries.
    out = run_json(*extra, "read", node, reg(0x180))
    check(out["ok"] and out["data"] == "44000000" and out["processBits"] == (32 if extra else 64), out)
    out = run_json(*extra, "read", node, reg(0x200), "32")
    check(out["ok"] and out["data"] == "00000000" + "18000000" + "00000000" * 3 + "18000000" + "00000000" * 2, out)
    # Writes, then reads on the same bus: a quadlet write of CUR_V_MODE (Mode_5), a block write of
    # CUR_V_FRM_RATE and CUR_V_MODE (30 fps, Mode_1), each read back; the camera command sees them.
    lines = run_json_lines(*extra, "write", node, reg(0x604), "0xA0000000", "+", "read", node, reg(0x604),
                           "+", "write", node, reg(0x600), "8000000020000000", "+", "read", node, reg(0x600), "8",
                           "+", "camera", node)
    check([l["command"] for l in lines] == ["write", "read", "write", "read", "camera"], lines)
    check(all(l["ok"] for l in lines), lines)
    check(lines[1]["data"] == "a0000000" and lines[3]["data"] == "8000000020000000", lines)
    check(lines[4]["camera"]["current"]["text"] == "Mode_1 (320x240 YUV 4:2:2), 30 fps", lines[4])
    human = run(*extra, "write", node, reg(0x604), "0xA0000000", "+", "read", node, reg(0x600), "8").stdout
    check("write of node " + node in human and "0xFFFFF0F00600  60000000 a0000000" in human, human)
    # An address the camera does not have: the rcode comes back, exit status 1.
    out = json.loads(run(*extra, "--json", "read", node, "0x000000001000", expect_rc=1).stdout)
    check(not out["ok"] and out["rcode"] == 7 and out["rcodeText"] == "resp_address_error", out)
    # A node that is not on the bus.
    out = json.loads(run(*extra, "--json", "read", "40", reg(0), expect_rc=1).stdout)
    check(not out["ok"], out)


def case_read_write_32():
    case_read_write("--32")


def case_lock():
    node = str(find_cameras()[0])
    # Every lock function, 4- and 8-byte, in one run: the camera's command registers take no
    # locks, so each comes back resp_type_error from the camera (the request reached it and its
    # answer came back to the program).
    ops = ("mask_swap", "compare_swap", "fetch_add", "little_add", "bounded_add", "wrap_add")
    args = []
    for size in ("4", "8"):
        for op in ops:
            args += ["+", "lock", node, hex(CAMERA_BASE + 0x600), op, "1", "2", "--size", size]
    lines = run_json_lines(*args[1:], expect_rc=1)
    check([(l["op"], l["length"]) for l in lines] == [(op, size) for size in (4, 8) for op in ops], lines)
    for l in lines:
        check(not l["ok"] and l["rcode"] == 6 and l["oldValue"] is None, l)
        check(l["argSent"] == (l["op"] not in ("fetch_add", "little_add")), l)
    human = run("lock", node, hex(CAMERA_BASE + 0x600), "fetch_add", "0", "1", expect_rc=1).stdout
    check("fetch_add 4-byte data 0x00000001: failed" in human and "resp_type_error" in human, human)


def case_phy_stream():
    out = run_json("phy", "0x41000000")  # link-on packet to node 1
    check(out["ok"] and out["result"] == 0, out)
    out = run_json("stream", "5", "0102030405060708", "--tag", "1", "--sy", "3")
    check(out["ok"] and out["result"] == 0 and out["length"] == 8, out)
    human = run("stream", "5", "01020304").stdout
    check("stream packet on channel 5, 4 bytes at S100" in human and "sent" in human, human)


# ---- Frames of a camera's isochronous stream (stream without CHANNEL HEXDATA)

MODES = {  # name: (width, height, bits per pixel, grey)
    "160x120-yuv444": (160, 120, 24, False), "320x240-yuv422": (320, 240, 16, False),
    "640x480-yuv411": (640, 480, 12, False), "640x480-yuv422": (640, 480, 16, False),
    "640x480-rgb8": (640, 480, 24, False), "640x480-y8": (640, 480, 8, True), "640x480-y16": (640, 480, 16, True),
}


def pattern(mode, n):
    """Frame n of the camera's test pattern as the model documents it: the frame counter in bytes
    0 to 3 (big-endian), then a diagonal ramp (i % lineBytes + i / lineBytes + n) & 0xFF."""
    width, height, bits, _ = MODES[mode]
    line = width * bits // 8
    ramp = bytes(range(256)) * (line // 256 + 3)
    rows = [ramp[(r + n) % 256:(r + n) % 256 + line] for r in range(height)]
    frame = bytearray(b"".join(rows))
    frame[0:4] = n.to_bytes(4, "big")
    return bytes(frame)


def clamp(v):
    return max(0, min(255, int(round(v))))


def yuv_rgb(y, u, v):
    """ITU-R BT.601 full range, U and V centred on 128."""
    u, v = u - 128, v - 128
    return (clamp(y + 1.402 * v), clamp(y - 0.344136 * u - 0.714136 * v), clamp(y + 1.772 * u))


def expected_image(mode, n):
    """The pixels kx1394 should write for frame n: grey samples as they come, colour as RGB."""
    data = pattern(mode, n)
    if MODES[mode][3] or mode == "640x480-rgb8":
        return data
    out = bytearray()
    if mode.endswith("yuv444"):
        for i in range(0, len(data), 3):
            out += bytes(yuv_rgb(data[i + 1], data[i], data[i + 2]))
    elif mode.endswith("yuv422"):
        for i in range(0, len(data), 4):
            u, y0, v, y1 = data[i:i + 4]
            out += bytes(yuv_rgb(y0, u, v) + yuv_rgb(y1, u, v))
    else:  # 4:1:1
        for i in range(0, len(data), 6):
            u, y0, y1, v, y2, y3 = data[i:i + 6]
            for y in (y0, y1, y2, y3):
                out += bytes(yuv_rgb(y, u, v))
    return bytes(out)


def read_image(path):
    with open(path, "rb") as f:
        raw = f.read()
    magic, width, height, maxval, body = raw.split(maxsplit=4)
    return magic.decode(), int(width), int(height), int(maxval), body


def check_images(directory, mode, summary):
    """Every image written is frame n of the pattern, n being the counter the tool reports for it."""
    width, height, bits, grey = MODES[mode]
    counters = summary["frameCounters"]
    extension = "pgm" if grey else "ppm"
    names = sorted(os.listdir(directory))
    check(names == [f"frame-{i:04d}.{extension}" for i in range(1, len(counters) + 1)], names)
    check(summary["images"] == len(names) and summary["firstImage"] == names[0] and summary["lastImage"] == names[-1],
          summary)
    for name, n in zip(names, counters):
        magic, w, h, maxval, body = read_image(os.path.join(directory, name))
        check((magic, w, h) == ("P5" if grey else "P6", width, height), (name, magic, w, h))
        check(maxval == (65535 if bits == 16 and grey else 255), (name, maxval))
        expected = expected_image(mode, n)
        if grey or mode == "640x480-rgb8":
            check(body == expected, f"{name}: frame {n} does not match the test pattern")
            check(int.from_bytes(body[:4], "big") == n, name)
        else:
            check(len(body) == len(expected), (name, len(body), len(expected)))
            worst = max(abs(a - b) for a, b in zip(body, expected))
            check(worst <= 1, f"{name}: frame {n} converted to RGB differs by up to {worst} from the pattern")


def check_stream_summary(summary, mode, frames, rate=30.0):
    width, height, bits, _ = MODES[mode]
    check(summary["command"] == "stream" and summary["ok"] is True and "problem" not in summary, summary)
    check(summary["mode"] == mode and (summary["width"], summary["height"]) == (width, height), summary)
    check(summary["framesRequested"] == frames and summary["framesReceived"] == frames, summary)
    counters = summary["frameCounters"]
    check(len(counters) == frames and all(b > a for a, b in zip(counters, counters[1:])), counters)
    gaps = sum(b - a - 1 for a, b in zip(counters, counters[1:]))
    check(summary["framesDropped"] == gaps and summary["framesOutOfOrder"] == 0, summary)
    check(summary["frameBytes"] == width * height * bits // 8, summary)
    check(0 <= summary["channel"] < 16 and summary["speed"] == "S400", summary)
    if frames >= 2:
        # Virtual time: frames at the camera's rate, each gap a whole frame period more.
        expected = rate * (frames - 1) / (frames - 1 + gaps)
        check(abs(summary["framesPerSecond"] - expected) < 0.01 * expected, (summary["framesPerSecond"], expected))
        bps = summary["framesPerSecond"] * summary["frameBytes"]
        check(abs(summary["bytesPerSecond"] - bps) <= 0.001 * bps, summary)


def case_stream_bad_arguments():
    for args, words in ((["stream", "--mode", "640x480"], "--mode '640x480' is not a video mode"),
                        (["stream", "--mode", "800x600-y8"], "640x480-y16"),
                        (["stream", "--rate", "25"], "--rate '25' is not a frame rate"),
                        (["stream", "--frames", "0"], "--frames takes a number from 1 to 100000"),
                        (["stream", "--frames", "100001"], "--frames"), (["stream", "--frames", "x"], "--frames"),
                        (["stream", "--buffers", "0"], "--buffers takes a number from 1 to 64"),
                        (["stream", "--buffers", "65"], "--buffers"), (["stream", "--node", "63"], "--node"),
                        (["stream", "--node", "x"], "--node"), (["stream", "--out"], "--out needs a value"),
                        (["stream", "--out="], "--out needs a directory"),
                        (["stream", "--speed", "S800"], "S100, S200 or S400"),
                        (["stream", "5", "00", "--mode", "640x480-y8"], "stream without CHANNEL HEXDATA"),
                        (["stream", "--tag", "1"], "too few operands: stream CHANNEL HEXDATA"),
                        (["read", "0", "0", "--frames", "3"], "belong to the stream command"),
                        (["bus", "+", "stream", "--buffers", "99"], "--buffers")):
        err = run(*args, expect_rc=2).stderr
        check(err.startswith("kx1394: ") and words in err and "--help" in err, f"{args}: {err}")
    out = run("--help").stdout
    check("stream [--node N] [--mode 640x480-y8] [--rate 30] [--frames 100] [--buffers 3] [--out DIR]" in out, out)


def case_stream_camera_checks():
    # A mode or rate the camera does not list, a node that is not a camera: exit 1 with the reason,
    # before anything is opened.
    camera = find_cameras()[0]
    out = json.loads(run("--json", "stream", "--node", str(camera), "--rate", "60", expect_rc=1).stdout)
    check(not out["ok"] and out["channel"] is None, out)
    check(out["problem"] == "the camera does not offer 640x480-y8 at 60 fps; it offers 320x240-yuv422 at 15, 30 fps; "
                            "640x480-y8 at 15, 30 fps", out)
    human = run("stream", "--mode", "640x480-rgb8", expect_rc=1).stdout
    check("problem: the camera does not offer 640x480-rgb8 at 30 fps" in human, human)
    bus = run_json("bus")
    other = [n["node"] for n in bus["nodes"] if n["node"] != camera and n["node"] != bus["localNode"]
             and not any(u.startswith("IIDC") for u in n.get("units", []))][0]
    human = run("stream", "--node", str(other), expect_rc=1).stdout
    check(f"problem: node {other} (0xFFC{other}) is not an IIDC camera" in human, human)
    # A packet too large for the speed asked for.
    out = json.loads(run("--json", "stream", "--speed", "S100", expect_rc=1).stdout)
    check("sends packets of 1280 bytes, more than 1024 at S100" in out["problem"], out)


def stream_json(directory, *args, extra=()):
    return json.loads(run(*extra, "--json", "stream", "--out", directory, *args).stdout)


def case_stream_y8():
    # The default: the bus's first camera, 640x480 Mono 8 at 30 fps; every frame intact and in order.
    with tempfile.TemporaryDirectory() as directory:
        out = stream_json(directory, "--frames", "5")
        check_stream_summary(out, "640x480-y8", 5)
        check(out["nodeId"] == f"0xFFC{find_cameras()[0]}" and out["buffers"] == 3, out)
        check(out["packetBytes"] == 1280 and out["packetsPerFrame"] == 240 and out["framesDropped"] == 0, out)
        check(out["busResets"] == 0 and out["timeouts"] == 0 and out["dmaErrors"] == 0, out)
        check_images(directory, "640x480-y8", out)
    # For people: the summary lines, and the progress line on stderr.
    with tempfile.TemporaryDirectory() as directory:
        done = run("stream", "--frames", "3", "--out", directory)
        lines = {line[:20].strip(): line[21:] for line in done.stdout.splitlines()}
        check(lines.get("frames received", "").startswith("3 of 3") and lines.get("frames dropped") == "0", done.stdout)
        rate = lines.get("frame rate", "")
        check(rate.endswith(" fps (virtual time)") and abs(float(rate.split()[0]) - 30) < 0.3, done.stdout)
        check(abs(int(lines.get("bytes per second", "0")) - 30 * 307200) < 0.01 * 30 * 307200, done.stdout)
        check(lines.get("images") == f"3 in {directory} (frame-0001.pgm to frame-0003.pgm)", done.stdout)
        check("640x480-y8 at 30 fps" in done.stdout and "stream on channel 0 at S400" in done.stdout, done.stdout)
        check("frames 3/3, dropped 0" in done.stderr, done.stderr)


def case_stream_codings():
    # Every coding on one bus, one camera per mode the default cameras do not list, each streamed
    # and closed in turn: Mono 16 as a 16-bit PGM, RGB 8 as it comes, YUV converted to RGB.
    cams = (("cy16", 6, "15", "640x480-y16"), ("crgb", 4, "15", "640x480-rgb8"), ("c411", 2, "15", "640x480-yuv411"),
            ("c444", 0, "30", "160x120-yuv444"))
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "codings.bus")
        with open(path, "w") as f:
            f.write("node pc controller\nnode hub plain ports=6\nconnect pc.0 hub.0\n")
            for port, (name, mode, rate, _) in enumerate(cams, start=1):
                f.write(f"node {name} camera guid=0x00ACDE48000001{port:02X} format=0 mode={mode} rate={rate}\n")
                f.write(f"connect hub.{port} {name}.0\n")
        # Each camera lists its extra mode beside the default ones (Mode_1, Mode_5): that names it.
        owners = {}
        for node in find_cameras("--bus", path):
            cam = run_json("--bus", path, "camera", str(node))
            for m in cam["camera"]["formats"][0]["modes"]:
                if m["mode"] not in (1, 5):
                    owners[m["mode"]] = node
        check(sorted(owners) == sorted(c[1] for c in cams), owners)
        args = []
        for _, mode, rate, name in cams:
            args += ["+", "stream", "--node", str(owners[mode]), "--mode", name, "--rate", rate, "--frames", "2",
                     "--out", os.path.join(directory, name)]
        lines = run_json_lines("--bus", path, *args[1:])
        check(len(lines) == len(cams), lines)
        for line, (_, _, rate, name) in zip(lines, cams):
            check_stream_summary(line, name, 2, rate=float(rate))
            check_images(os.path.join(directory, name), name, line)


def case_stream_buffers():
    # One buffer: the program re-attaches it after each frame and misses frames meanwhile, which
    # the counters show as drops; 31 buffers: every frame.
    with tempfile.TemporaryDirectory() as directory:
        for buffers in ("1", "31"):
            out = stream_json(os.path.join(directory, buffers), "--frames", "6", "--buffers", buffers)
            check_stream_summary(out, "640x480-y8", 6)
            check(out["buffers"] == int(buffers), out)
            if buffers == "31":
                check(out["framesDropped"] == 0, out)
            check_images(os.path.join(directory, buffers), "640x480-y8", out)


def case_stream_32():
    # A 32-bit program: its records and descriptors in the 32-bit layout, buffers below 2 GiB.
    with tempfile.TemporaryDirectory() as directory:
        out = stream_json(directory, "--frames", "3", "--mode", "320x240-yuv422", "--rate", "15", extra=("--32",))
        check(out["processBits"] == 32, out)
        check_stream_summary(out, "320x240-yuv422", 3, rate=15.0)
        check_images(directory, "320x240-yuv422", out)


def case_stream_two_cameras():
    # Both cameras of the default bus, one after the other on the same bus: the second stream gets
    # the channel and context the first gave back at close; the camera command shows what was
    # programmed.
    cameras = find_cameras()
    with tempfile.TemporaryDirectory() as directory:
        lines = run_json_lines("stream", "--node", str(cameras[0]), "--frames", "2", "--out", directory + "/a", "+",
                               "stream", "--node", str(cameras[1]), "--frames", "2", "--mode", "320x240-yuv422",
                               "--out", directory + "/b", "+", "camera", str(cameras[1]))
        check_stream_summary(lines[0], "640x480-y8", 2)
        check_stream_summary(lines[1], "320x240-yuv422", 2)
        check(lines[0]["channel"] == lines[1]["channel"] == 0, lines)
        check(lines[2]["camera"]["current"]["text"] == "Mode_1 (320x240 YUV 4:2:2), 30 fps", lines[2])


# A bus of mixed speeds: an S200 hub with an S400 camera and an S100 node behind it.
MIXED_BUS = ("node pc controller\nnode hub plain speed=S200 ports=3\nnode cam camera\n"
             "node slow plain speed=S100\nconnect pc.0 hub.0\nconnect hub.1 cam.0\nconnect hub.2 slow.0\n")


def with_mixed_bus(body):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "mixed.bus")
        with open(path, "w") as f:
            f.write(MIXED_BUS)
        return body(directory, path)


def case_topology():
    # The default bus read from the local node's TOPOLOGY_MAP: five nodes, the root has no parent,
    # every other node one, and the Graphviz picture has one edge per cable.
    with tempfile.TemporaryDirectory() as directory:
        dot = os.path.join(directory, "bus.dot")
        out = run("topology", "--dot", dot).stdout
        check("5 nodes" in out and "CRC good" in out and "gap count 63" in out, out)
        rows = [line.split() for line in out.splitlines() if line[:1].isdigit()]
        check(len(rows) == 5 and sum(1 for r in rows if r[1] == "root") == 1, out)
        check(any(r[-1] == "(local)" for r in rows), out)
        picture = open(dot).read()
        check(picture.startswith("graph bus {") and picture.count(" -- ") == 4 and "(root)" in picture, picture)
    # --dot belongs to topology.
    run("bus", "--dot", "x.dot", expect_rc=2)


def case_topology_json():
    def body(directory, path):
        dot = os.path.join(directory, "mixed.dot")
        topo = run_json("--bus", path, "topology", "--dot", dot)
        check(topo["ok"] and topo["crcGood"] and topo["nodeCount"] == 4, topo)
        nodes = {n["node"]: n for n in topo["nodes"]}
        root = topo["root"]
        check(nodes[root]["parent"] is None and root == max(nodes), topo)
        for n in topo["nodes"]:
            if n["node"] != root:
                parent = nodes[n["parent"]]
                check(any(p["state"] == "child" and p["peer"] == n["node"] for p in parent["ports"]), topo)
            check(n["gapCount"] == topo["gapCount"] and isinstance(n["linkActive"], bool), n)
        check(sorted(n["speed"] for n in topo["nodes"]) == ["S100", "S200", "S400", "S400"], topo)
        check(os.path.getsize(dot) > 0, dot)
    with_mixed_bus(body)


def case_speed():
    out = run("speed").stdout
    check("slowest PHY on the path" in out and "IOCTL_GET_NODE_SPEED" in out, out)
    check(out.count("S400") >= 25, out)


def case_speed_json():
    def body(directory, path):
        speed = run_json("--bus", path, "speed")
        topo = run_json("--bus", path, "topology")
        check(speed["ok"] and len(speed["codes"]) == 4, speed)
        by_node = {n["node"]: n for n in topo["nodes"]}
        slow = [n for n in by_node if by_node[n]["speed"] == "S100"][0]
        camera = [n for n in by_node if by_node[n]["speed"] == "S400" and not by_node[n]["contender"]
                  and n != topo["root"]]
        for a in range(4):
            check(speed["codes"][a][a] == by_node[a]["speedCode"], speed)
            check(speed["codes"][a][slow] == 0 and speed["codes"][slow][a] == 0, speed)
            for b in range(4):
                check(speed["codes"][a][b] == speed["codes"][b][a], speed)
        # Every path from the camera crosses the S200 hub.
        for c in camera:
            check(all(speed["codes"][c][b] <= 1 for b in range(4) if b != c), speed)
        local = speed["localNode"]
        driver = speed["fromLocalNodeByDriver"]
        check([d["node"] for d in driver] == list(range(4)), speed)
        check(all(isinstance(d["code"], int) for d in driver), speed)
        check(driver[slow]["code"] == 0 and driver[local]["speed"].startswith("S"), speed)
    with_mixed_bus(body)


globals()["case_" + sys.argv[2]]()
print("ok")

#!/usr/bin/env python3
"""Checks the finished Windows driver image KX1394DRV64.sys and its INF.

Reads the PE file itself (no third-party modules) and verifies what the kernel loader and the
installer rely on:

  image      AMD64 PE32+, native subsystem, WDM driver flag, relocatable (base relocations,
             dynamic base, NX compatible), entry point at DriverEntry, valid checksum, no export
             or TLS directory, no section both writable and executable
  imports    only from ntoskrnl.exe and HAL.dll (no user-mode runtime)
  startup    no global constructor or destructor lists with entries (.ctors/.dtors/.CRT$X*)
  exceptions KxProbeAndLockPages, KxCopyFromUser and KxCopyToUser each carry a
             __C_specific_handler scope table whose guarded range covers their calls that
             can raise (MmProbeAndLockPages, ProbeForRead/ProbeForWrite, memcpy)
  version    VERSIONINFO 2.1.6.6 (fixed part and StringFileInfo\\<first translation>\\
             FileVersion), translation 0x0409/1200, OriginalFilename
  INF        installs KX1394DRV64.sys for PCI\\CC_0C0010 as a demand-start kernel service

`--self-test` damages a copy of the image in memory in each of the ways above and fails unless
every damage is reported.
"""
import argparse
import re
import struct
import sys

VERSION = (2, 1, 6, 6)
VERSION_TEXT = "2.1.6.6"
IMAGE_NAME = "KX1394DRV64.sys"
SERVICE_NAME = "KX1394DRV64"
ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll"}
SEH_SERVICES = {
    # function: imports whose calls must lie inside the guarded range
    "KxProbeAndLockPages": ["MmProbeAndLockPages"],
    "KxCopyFromUser": ["ProbeForRead", "memcpy"],
    "KxCopyToUser": ["ProbeForWrite", "memcpy"],
}

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
IMAGE_SUBSYSTEM_NATIVE = 1
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100
DLLCHAR_WDM_DRIVER = 0x2000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_BASERELOC, DIR_TLS = 0, 1, 2, 3, 5, 9
RT_VERSION = 16
UNW_FLAG_EHANDLER = 1


class Image:
    """A parsed PE32+ image (headers, sections, directories) over its bytes."""

    def __init__(self, data):
        self.data = bytes(data)
        if self.data[:2] != b"MZ":
            raise ValueError("no MZ header")
        self.pe = self.u32(0x3C)
        if self.data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        fh = self.pe + 4
        (self.machine, nsections, _, _, _, opt_size, self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, fh)
        self.opt = fh + 20
        self.magic = self.u16(self.opt)
        if self.magic != 0x20B:
            raise ValueError(f"optional header magic {self.magic:#x} is not PE32+")
        self.entry = self.u32(self.opt + 16)
        self.image_base = struct.unpack_from("<Q", self.data, self.opt + 24)[0]
        self.section_alignment = self.u32(self.opt + 32)
        self.file_alignment = self.u32(self.opt + 36)
        self.checksum_offset = self.opt + 64
        self.checksum = self.u32(self.checksum_offset)
        self.subsystem = self.u16(self.opt + 68)
        self.dll_characteristics = self.u16(self.opt + 70)
        ndirs = self.u32(self.opt + 108)
        self.directories = [struct.unpack_from("<II", self.data, self.opt + 112 + 8 * i) for i in range(ndirs)]
        self.sections = []
        base = self.opt + opt_size
        for i in range(nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", self.data, base + 40 * i)
            flags = self.u32(base + 40 * i + 36)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), vsize, va, rawsize, rawptr, flags))

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, vsize, va, rawsize, rawptr, _ in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                if rva - va >= rawsize:
                    raise ValueError(f"RVA {rva:#x} lies in uninitialised data")
                return rawptr + rva - va
        raise ValueError(f"RVA {rva:#x} is outside every section")

    def u32_at(self, rva):
        return self.u32(self.offset(rva))

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("latin-1")

    def imports(self):
        """{dll name: [(function name, IAT slot RVA)]} from the import directory."""
        rva, size = self.directory(DIR_IMPORT)
        result = {}
        if not rva:
            return result
        desc = rva
        while True:
            lookup, _, _, name_rva, iat = struct.unpack_from("<IIIII", self.data, self.offset(desc))
            if not (lookup or name_rva or iat):
                break
            names = []
            table = lookup or iat
            i = 0
            while True:
                entry = struct.unpack_from("<Q", self.data, self.offset(table + 8 * i))[0]
                if entry == 0:
                    break
                name = f"#{entry & 0xFFFF}" if entry >> 63 else self.cstring((entry & 0x7FFFFFFF) + 2)
                names.append((name, iat + 8 * i))
                i += 1
            result.setdefault(self.cstring(name_rva), []).extend(names)
            desc += 20
        return result

    def computed_checksum(self):
        data = self.data + (b"\0" if len(self.data) % 2 else b"")
        total = 0
        for i in range(0, len(data), 2):
            if self.checksum_offset <= i < self.checksum_offset + 4:
                continue
            total += data[i] | (data[i + 1] << 8)
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def runtime_function(self, rva):
        """(begin, end, unwind info RVA) of the .pdata entry that starts at `rva`."""
        table, size = self.directory(DIR_EXCEPTION)
        for i in range(size // 12):
            begin, end, unwind = struct.unpack_from("<III", self.data, self.offset(table + 12 * i))
            if begin == rva:
                return begin, end, unwind
        return None

    def version_resource(self):
        """Bytes of the first RT_VERSION resource, or None."""
        root, size = self.directory(DIR_RESOURCE)
        if not root:
            return None

        def entries(dir_rva):
            off = self.offset(dir_rva)
            named, ids = struct.unpack_from("<HH", self.data, off + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, off + 16 + 8 * i)
                yield ident, target

        for ident, target in entries(root):
            if ident == RT_VERSION and target & 0x80000000:
                node = root + (target & 0x7FFFFFFF)
                while True:
                    first = next(entries(node), None)
                    if first is None:
                        return None
                    if first[1] & 0x80000000:
                        node = root + (first[1] & 0x7FFFFFFF)
                        continue
                    data_rva, data_size = struct.unpack_from("<II", self.data, self.offset(root + first[1]))
                    off = self.offset(data_rva)
                    return self.data[off:off + data_size]
        return None


def parse_map(text):
    """{symbol: absolute address} from a GNU ld map file, and the non-empty .ctors/.dtors input sections."""
    symbols = {}
    ctor_inputs = []
    for line in text.splitlines():
        m = re.match(r"^\s+0x([0-9a-fA-F]+)\s+([A-Za-z_][\w$@.]*)\s*$", line)
        if m:
            symbols[m.group(2)] = int(m.group(1), 16)
        m = re.match(r"^\s*(\.ctors|\.dtors|\.init_array|\.fini_array|\.CRT\$X\w*)\S*\s+0x[0-9a-fA-F]+\s+0x([0-9a-fA-F]+)\s+(\S+)", line)
        if m and int(m.group(2), 16) > 0:
            ctor_inputs.append(f"{m.group(1)} ({int(m.group(2), 16)} bytes) from {m.group(3)}")
    return symbols, ctor_inputs


# ---- Version resource ---------------------------------------------------------------------------

def parse_version_block(data, off=0):
    """(key, value bytes, value type, children, end) of one VS_VERSIONINFO-style block."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, off)
    end = off + length
    pos = off + 6
    key_end = pos
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = data[pos:pos + value_bytes]
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < end:
        child = parse_version_block(data, pos)
        children.append(child)
        pos = (child[4] + 3) & ~3
    return key, value, value_type, children, end


def check_version(resource):
    failures = []
    if resource is None:
        return ["no RT_VERSION resource"]
    key, fixed, _, children, _ = parse_version_block(resource)
    if key != "VS_VERSION_INFO":
        failures.append(f"version resource key is {key!r}")
    if len(fixed) < 52 or struct.unpack_from("<I", fixed, 0)[0] != 0xFEEF04BD:
        return failures + ["no VS_FIXEDFILEINFO"]
    fms, fls, pms, pls = struct.unpack_from("<IIII", fixed, 8)
    file_version = (fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF)
    product_version = (pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF)
    if file_version != VERSION:
        failures.append(f"FILEVERSION is {file_version}, expected {VERSION}")
    if product_version != VERSION:
        failures.append(f"PRODUCTVERSION is {product_version}, expected {VERSION}")
    blocks = {child[0]: child for child in children}
    translation = None
    var = blocks.get("VarFileInfo")
    if var:
        for child in var[3]:
            if child[0] == "Translation" and len(child[1]) >= 4:
                translation = struct.unpack_from("<HH", child[1], 0)
    if translation != (0x0409, 1200):
        failures.append(f"first Translation pair is {translation}, expected (0x0409, 1200)")
    strings = blocks.get("StringFileInfo")
    if not strings:
        return failures + ["no StringFileInfo"]
    wanted_table = f"{translation[0]:04x}{translation[1]:04x}" if translation else "040904b0"
    table = next((t for t in strings[3] if t[0].lower() == wanted_table), None)
    if table is None:
        return failures + [f"no StringFileInfo table {wanted_table} for the first translation"]
    values = {s[0]: s[1].decode("utf-16-le").rstrip("\0") for s in table[3]}
    expected = {"FileVersion": VERSION_TEXT, "ProductVersion": VERSION_TEXT, "OriginalFilename": IMAGE_NAME}
    for name, value in expected.items():
        if values.get(name) != value:
            failures.append(f"StringFileInfo\\{wanted_table}\\{name} is {values.get(name)!r}, expected {value!r}")
    for name in ("FileDescription", "CompanyName", "ProductName"):
        if not values.get(name):
            failures.append(f"StringFileInfo\\{wanted_table}\\{name} is missing")
    return failures


# ---- Structured exception handling --------------------------------------------------------------

def thunk_target(image, rva):
    """IAT slot RVA that the `jmp qword [rip+disp32]` import thunk at `rva` jumps through."""
    off = image.offset(rva)
    if image.data[off:off + 2] != b"\xff\x25":
        return None
    return rva + 6 + struct.unpack_from("<i", image.data, off + 2)[0]


def calls_to(image, begin, end, slot, thunks):
    """RVAs just after each call in [begin, end) that reaches IAT `slot`, directly or via a thunk."""
    off = image.offset(begin)
    code = image.data[off:off + end - begin]
    result = []
    for i in range(len(code) - 5):
        if code[i:i + 2] == b"\xff\x15" and i + 6 <= len(code):  # call qword [rip+disp32]
            after = begin + i + 6
            if after + struct.unpack_from("<i", code, i + 2)[0] == slot:
                result.append(after)
        if code[i] == 0xE8:  # call rel32
            after = begin + i + 5
            target = after + struct.unpack_from("<i", code, i + 1)[0]
            if thunks.get(target) == slot:
                result.append(after)
    return result


def check_seh(image, symbols, import_slots):
    failures = []
    handler_slot = import_slots.get("__C_specific_handler")
    if handler_slot is None:
        return ["__C_specific_handler is not imported from ntoskrnl.exe"]
    text = [s for s in image.sections if s[5] & SCN_MEM_EXECUTE]
    thunks = {}
    for _, vsize, va, rawsize, _, _ in text:
        off = image.offset(va)
        code = image.data[off:off + min(vsize, rawsize)]
        for i in range(0, len(code) - 6):
            if code[i:i + 2] == b"\xff\x25":
                thunks[va + i] = va + i + 6 + struct.unpack_from("<i", code, i + 2)[0]
    for function, guarded in SEH_SERVICES.items():
        if function not in symbols:
            failures.append(f"{function} is not in the image")
            continue
        rva = symbols[function] - image.image_base
        rf = image.runtime_function(rva)
        if rf is None:
            failures.append(f"{function} has no .pdata entry")
            continue
        begin, end, unwind = rf
        info = image.offset(unwind)
        version_flags, _, ncodes, _ = struct.unpack_from("<BBBB", image.data, info)
        if not (version_flags >> 3) & UNW_FLAG_EHANDLER:
            failures.append(f"{function}: unwind info has no exception handler")
            continue
        handler_at = unwind + 4 + 2 * ((ncodes + 1) & ~1)
        handler = image.u32_at(handler_at)
        if thunks.get(handler) != handler_slot:
            failures.append(f"{function}: handler {handler:#x} is not the __C_specific_handler import")
            continue
        count = image.u32_at(handler_at + 4)
        scopes = [struct.unpack_from("<IIII", image.data, image.offset(handler_at + 8 + 16 * i)) for i in range(count)]
        if not scopes:
            failures.append(f"{function}: empty scope table")
            continue
        for s_begin, s_end, s_filter, s_target in scopes:
            if not (begin <= s_begin < s_end <= end):
                failures.append(f"{function}: scope [{s_begin:#x}, {s_end:#x}) is outside the function")
            if not (begin <= s_target < end):
                failures.append(f"{function}: scope target {s_target:#x} is outside the function")
            if s_filter != 1 and not any(va <= s_filter < va + vs for _, vs, va, _, _, _ in text):
                failures.append(f"{function}: scope filter {s_filter:#x} is neither EXCEPTION_EXECUTE_HANDLER nor code")
        for callee in guarded:
            slot = import_slots.get(callee)
            if slot is None:
                failures.append(f"{function}: {callee} is not imported")
                continue
            sites = calls_to(image, begin, end, slot, thunks)
            if not sites:
                failures.append(f"{function}: no call to {callee} found")
            for after in sites:
                # The dispatcher looks the caller's frame up by the return address (or the byte
                # before it): both must lie in a guarded range.
                if not any(s_begin <= after - 1 and after < s_end for s_begin, s_end, _, _ in scopes):
                    failures.append(f"{function}: the call to {callee} returning to {after:#x} is not guarded")
    return failures


# ---- INF ----------------------------------------------------------------------------------------

def parse_inf(text):
    """{section name (lower case): [(key or None, value)]}, comments removed."""
    sections = {}
    current = None
    for raw in text.splitlines():
        line = re.sub(r";.*$", "", raw).strip()  # no quoted ';' in this INF
        if not line:
            continue
        m = re.match(r"^\[(.+)\]$", line)
        if m:
            current = sections.setdefault(m.group(1).strip().lower(), [])
            continue
        if current is None:
            continue
        if "=" in line:
            key, value = line.split("=", 1)
            current.append((key.strip(), value.strip()))
        else:
            current.append((None, line))
    return sections


def check_inf(text):
    failures = []
    sections = parse_inf(text)

    def values(section, key):
        return [v for k, v in sections.get(section.lower(), []) if k and k.lower() == key.lower()]

    def one(section, key):
        found = values(section, key)
        return found[0] if found else None

    if one("Version", "Signature") not in ('"$WINDOWS NT$"', '"$Windows NT$"'):
        failures.append("[Version] Signature is not $WINDOWS NT$")
    if not one("Version", "ClassGuid"):
        failures.append("[Version] has no ClassGuid")
    driver_ver = one("Version", "DriverVer") or ""
    if not re.match(r"^\d{2}/\d{2}/\d{4},\s*" + re.escape(VERSION_TEXT) + "$", driver_ver):
        failures.append(f"[Version] DriverVer {driver_ver!r} does not carry {VERSION_TEXT}")
    if "pci\\cc_0c0010" not in text.lower():
        failures.append("the INF does not mention PCI\\CC_0C0010")

    # [Manufacturer] -> models section decorated for NTamd64 -> install section -> service.
    install = None
    for _, value in sections.get("manufacturer", []):
        parts = [p.strip() for p in value.split(",")]
        if "ntamd64" not in [p.lower() for p in parts[1:]]:
            failures.append(f"[Manufacturer] entry {value!r} has no NTamd64 decoration")
            continue
        for key, model in sections.get(f"{parts[0].lower()}.ntamd64", []):
            fields = [f.strip() for f in model.split(",")]
            if any(f.lower() == "pci\\cc_0c0010" for f in fields[1:]):
                install = fields[0]
    if install is None:
        return failures + ["no NTamd64 model installs PCI\\CC_0C0010"]
    install_section = next((s for s in (f"{install}.ntamd64", f"{install}.nt", install) if s.lower() in sections), None)
    if install_section is None:
        return failures + [f"install section {install} is missing"]
    copies = [c.strip() for v in values(install_section, "CopyFiles") for c in v.split(",")]
    copied = [v.lower() for c in copies for _, v in sections.get(c.lower(), [])]
    if IMAGE_NAME.lower() not in copied:
        failures.append(f"[{install_section}] does not copy {IMAGE_NAME}")
    listed = [(k or v).lower() for name, entries in sections.items() if name.startswith("sourcedisksfiles")
              for k, v in entries]
    if IMAGE_NAME.lower() not in listed:
        failures.append(f"[SourceDisksFiles] does not list {IMAGE_NAME}")
    services = values(f"{install_section}.services", "AddService")
    service = None
    for value in services:
        name, flags, section = ([p.strip() for p in value.split(",")] + ["", "", ""])[:3]
        if name.lower() == SERVICE_NAME.lower():
            if not int(flags, 0) & 0x2:
                failures.append("AddService lacks SPSVCINST_ASSOCSERVICE (0x2)")
            service = section
    if service is None:
        return failures + [f"[{install_section}.Services] does not add the {SERVICE_NAME} service"]
    expected = {"ServiceType": "1", "StartType": "3", "ServiceBinary": f"%12%\\{IMAGE_NAME}"}
    for key, value in expected.items():
        got = one(service, key)
        if got is None or got.lower() != value.lower():
            failures.append(f"[{service}] {key} is {got!r}, expected {value!r}")
    return failures


# ---- Image --------------------------------------------------------------------------------------

def check_image(image, map_text):
    failures = []
    symbols, ctor_inputs = parse_map(map_text)
    if image.machine != IMAGE_FILE_MACHINE_AMD64:
        failures.append(f"machine {image.machine:#x} is not AMD64")
    if image.subsystem != IMAGE_SUBSYSTEM_NATIVE:
        failures.append(f"subsystem {image.subsystem} is not NATIVE (1)")
    if not image.dll_characteristics & DLLCHAR_WDM_DRIVER:
        failures.append("DllCharacteristics lacks WDM_DRIVER")
    for flag, name in ((DLLCHAR_DYNAMIC_BASE, "DYNAMIC_BASE"), (DLLCHAR_NX_COMPAT, "NX_COMPAT")):
        if not image.dll_characteristics & flag:
            failures.append(f"DllCharacteristics lacks {name}")
    if not image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
        failures.append("Characteristics lacks EXECUTABLE_IMAGE")
    if image.characteristics & IMAGE_FILE_DLL:
        failures.append("the image is marked as a DLL")
    if image.characteristics & IMAGE_FILE_RELOCS_STRIPPED or not image.directory(DIR_BASERELOC)[1]:
        failures.append("the image cannot be relocated (no base relocations)")
    if image.section_alignment != 0x1000 or image.file_alignment != 0x200:
        failures.append(f"alignment {image.section_alignment:#x}/{image.file_alignment:#x}, expected 0x1000/0x200")
    if image.checksum != image.computed_checksum():
        failures.append(f"checksum {image.checksum:#x}, expected {image.computed_checksum():#x}")
    if "DriverEntry" not in symbols:
        failures.append("DriverEntry is not in the map")
    elif image.entry != symbols["DriverEntry"] - image.image_base:
        failures.append(f"entry point {image.entry:#x} is not DriverEntry ({symbols['DriverEntry'] - image.image_base:#x})")
    if image.directory(DIR_EXPORT)[1]:
        failures.append("the image has an export directory")
    if image.directory(DIR_TLS)[1]:
        failures.append("the image has a TLS directory")
    for name, vsize, _, rawsize, _, flags in image.sections:
        if flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE:
            failures.append(f"section {name} is writable and executable")
        if re.match(r"^(\.ctors|\.dtors|\.init_array|\.fini_array|\.CRT|\.tls)", name) and max(vsize, rawsize):
            failures.append(f"section {name} has content")
    for entry in ctor_inputs:
        failures.append(f"global constructor/destructor list entry: {entry}")
    if "__CTOR_LIST__" in symbols and "__DTOR_LIST__" in symbols:
        # Each list is a -1 marker and a 0 terminator around its entries.
        if symbols["__DTOR_LIST__"] - symbols["__CTOR_LIST__"] != 16:
            failures.append("the global constructor list is not empty")

    imports = image.imports()
    dlls = {name.lower() for name in imports}
    if "ntoskrnl.exe" not in dlls:
        failures.append("nothing is imported from ntoskrnl.exe")
    for dll in sorted(dlls - ALLOWED_IMPORTS):
        failures.append(f"imports from {dll}: only ntoskrnl.exe and HAL.dll are allowed")
    nt_slots = {name: slot for dll, entries in imports.items() if dll.lower() == "ntoskrnl.exe" for name, slot in entries}
    failures += check_seh(image, symbols, nt_slots)
    failures += check_version(image.version_resource())
    return failures, imports


# ---- Self-test ----------------------------------------------------------------------------------

def damaged_copies(image, map_text):
    """(what, image bytes, map text, expected failure) for each damage the checker must report."""
    data = image.data

    def patched(offset, fmt, value):
        copy = bytearray(data)
        struct.pack_into(fmt, copy, offset, value)
        return bytes(copy)

    def replaced(old, new):
        assert len(old) == len(new) and old in data, old
        return data.replace(old, new, 1)

    symbols, _ = parse_map(map_text)
    rf = image.runtime_function(symbols["KxCopyFromUser"] - image.image_base)
    unwind = image.offset(rf[2])
    ncodes = data[unwind + 2]
    scope_count_at = unwind + 4 + 2 * ((ncodes + 1) & ~1) + 4
    scope_end_at = scope_count_at + 4 + 4
    opt = image.opt
    fh = image.pe + 4
    return [
        ("machine", patched(fh, "<H", 0x14C), map_text, "not AMD64"),
        ("subsystem", patched(opt + 68, "<H", 2), map_text, "not NATIVE"),
        ("WDM driver flag", patched(opt + 70, "<H", image.dll_characteristics & ~DLLCHAR_WDM_DRIVER), map_text,
         "WDM_DRIVER"),
        ("entry point", patched(opt + 16, "<I", image.entry + 16), map_text, "is not DriverEntry"),
        ("checksum", patched(image.checksum_offset, "<I", image.checksum ^ 1), map_text, "checksum"),
        ("import DLL", replaced(b"HAL.dll\0", b"MSVCRT\0\0") if b"HAL.dll\0" in data
         else replaced(b"ntoskrnl.exe\0", b"msvcrt.dll\0\0\0"), map_text, "imports from msvcrt"),
        ("scope table", patched(scope_count_at, "<I", 0), map_text, "empty scope table"),
        ("guarded range", patched(scope_end_at, "<I", struct.unpack_from("<I", data, scope_end_at - 4)[0] + 1),
         map_text, "is not guarded"),
        ("file version", replaced("2.1.6.6".encode("utf-16-le"), "2.1.6.7".encode("utf-16-le")), map_text,
         "FileVersion is '2.1.6.7'"),
        ("constructor list", data, map_text.replace(
            " *(.ctors)\n", " *(.ctors)\n .ctors         0x0000000140003158        0x8 stray.o\n", 1),
         "constructor/destructor list entry"),
    ]


def with_checksum(data):
    image = Image(data)
    copy = bytearray(data)
    struct.pack_into("<I", copy, image.checksum_offset, image.computed_checksum())
    return bytes(copy)


def self_test(image, map_text, inf_text):
    failures = []
    for what, data, text, expected in damaged_copies(image, map_text):
        if what != "checksum":
            data = with_checksum(data)  # so that only the damage itself is wrong
        try:
            found, _ = check_image(Image(data), text)
        except (ValueError, struct.error) as error:
            found = [str(error)]
        if not any(expected in failure for failure in found):
            failures.append(f"self-test: damaged {what} was not reported (got {found})")
    broken_infs = [
        ("hardware ID", inf_text.replace("PCI\\CC_0C0010", "PCI\\CC_0C0300")),
        ("start type", re.sub(r"(StartType\s*=\s*)3", r"\g<1>1", inf_text)),
        ("service binary", inf_text.replace("%12%\\KX1394DRV64.sys", "%12%\\other.sys")),
        ("NTamd64 models", inf_text.replace(", NTamd64", ", NTx86")),
        ("driver version", inf_text.replace("2.1.6.6", "2.1.6.5")),
    ]
    for what, text in broken_infs:
        if text == inf_text:
            failures.append(f"self-test: could not damage the INF's {what}")
        elif not check_inf(text):
            failures.append(f"self-test: damaged INF {what} was not reported")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--image", required=True)
    parser.add_argument("--map", required=True, help="GNU ld map file of the image")
    parser.add_argument("--inf", required=True)
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()

    with open(args.image, "rb") as f:
        image = Image(f.read())
    with open(args.map) as f:
        map_text = f.read()
    with open(args.inf, encoding="utf-8-sig") as f:
        inf_text = f.read()

    failures, imports = check_image(image, map_text)
    failures += check_inf(inf_text)
    if args.self_test:
        failures += self_test(image, map_text, inf_text)

    for dll, entries in imports.items():
        print(f"imports from {dll}: {', '.join(sorted(name for name, _ in entries))}")
    for failure in failures:
        print("FAIL: " + failure)
    checks = "image, imports, startup lists, exception scopes, version resource, INF"
    print(f"{args.image}: {'FAILED' if failures else 'ok'} ({checks}{', self-test' if args.self_test else ''})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

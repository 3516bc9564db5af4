#!/usr/bin/env python3
"""Proves that the Windows mapping gives driver code the vocabulary the host kernel declares.

Driver code is written once against driver/platform/kxplatform.h. The host backend declares a WDM
subset in driver/platform/host/ (hk_wdm.h, wdm_*.h); the Windows backend maps the same header onto
mingw-w64's kernel headers (driver/platform/wdm/kx_wdm.h). Anything the host offers that Windows
lacks, or that has another value there, would break the Windows build later, in driver code.

From the host headers (parsed with clang, preprocessed with clang -E -dD) this collects:
  - every function, type name, enumerator and variable declared at global scope;
  - every macro (object-like, function-like or empty);
  - the member paths of every record with a type name (IRP -> Tail.Overlay.ListEntry, ...), except
    the dispatcher records of wdm_ke.h, which driver code treats as opaque, and members named Host*;
  - the value of every enumerator and constant macro, by compiling and running a host program.
It then compiles, with the Windows compiler, flags and mapping, one file that names each of them,
asserts each value, and names each member path. Host-only helpers (Kx*, KX_*, hk*) are skipped.

Usage: check_vocabulary.py --clang CLANG --cxx MINGW_CXX --platform driver/platform --ddk DDK_DIR
                           --work DIR [-- extra Windows compile flags]
"""
import argparse
import json
import os
import re
import subprocess
import sys

HOST_ONLY = re.compile(r"^(Kx|KX_|kx|hk|Hk|HK_|_)")
CONSTANT_TEXT = re.compile(r"^[\s()0-9A-Fa-fxXuUlL|&<>~+\-*/^!]*$")
OPAQUE_RECORD_HEADER = "wdm_ke.h"
# The closing "Max..." member of an enumeration counts the members of the kernel version the headers
# describe; driver code never uses it, so only its presence is checked.
SENTINEL = re.compile(r"^Max")
# Members the host declares that mingw-w64's headers keep in a reserved field (bits added to the
# record by later kernels). Driver code does not use them.
ABSENT_MEMBERS = {
    ("DEVICE_CAPABILITIES", "Reserved1"),
    ("DEVICE_CAPABILITIES", "WakeFromInterrupt"),
    ("DEVICE_CAPABILITIES", "SecureDevice"),
    ("DEVICE_CAPABILITIES", "ChildOfVgaEnabledBridge"),
    ("DEVICE_CAPABILITIES", "DecodeIoOnBoot"),
}


def host_files(platform):
    host = os.path.join(platform, "host")
    return {os.path.join(host, name) for name in os.listdir(host)
            if name == "hk_wdm.h" or (name.startswith("wdm_") and name.endswith(".h"))}


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        sys.stderr.write(f"command failed: {' '.join(command)}\n{result.stdout}{result.stderr}")
        sys.exit(2)
    return result.stdout


# ---- Host side ----------------------------------------------------------------------------------

def host_macros(args, probe, files):
    """{name: (kind, body)} of the macros defined in the host files; kind is 'function' or 'object'."""
    text = run([args.clang, "-x", "c++", "-std=c++17", "-DKX_HOST=1", f"-I{args.platform}",
                f"-I{os.path.join(args.platform, 'host')}", "-E", "-dD", probe])
    macros = {}
    current = None
    for line in text.splitlines():
        m = re.match(r'^# \d+ "([^"]+)"', line)
        if m:
            current = os.path.realpath(m.group(1))
            continue
        m = re.match(r"^#define (\w+)(\(?)(.*)$", line)
        if m and current in files and not HOST_ONLY.match(m.group(1)):
            macros[m.group(1)] = ("function" if m.group(2) else "object", m.group(3).strip())
    return macros


def expanded(args, probe_dir, names):
    """{name: fully macro-expanded replacement text} on the host."""
    source = os.path.join(probe_dir, "host_expand.cpp")
    with open(source, "w") as f:
        f.write('#include "kxplatform.h"\n')
        for name in names:
            f.write(f"kx_expand_{name}: {name}\n")
    text = run([args.clang, "-x", "c++", "-std=c++17", "-DKX_HOST=1", f"-I{args.platform}",
                f"-I{os.path.join(args.platform, 'host')}", "-E", "-P", source])
    result = {}
    for line in text.splitlines():
        m = re.match(r"^kx_expand_(\w+): (.*)$", line)
        if m:
            result[m.group(1)] = m.group(2)
    return result


class FileTracker:
    """Follows clang's JSON AST, which names a source file only when it changes."""

    def __init__(self):
        self.current = None

    def see(self, loc):
        if not isinstance(loc, dict):
            return
        for key in ("spellingLoc", "expansionLoc"):
            if key in loc:
                self.see(loc[key])
        if "file" in loc:
            self.current = os.path.realpath(loc["file"])

    def see_range(self, rng):
        if isinstance(rng, dict):
            self.see(rng.get("begin"))
            self.see(rng.get("end"))


def host_declarations(args, probe, files):
    """Names declared at global scope in the host files, and the member paths of their records."""
    text = run([args.clang, "-x", "c++", "-std=c++17", "-DKX_HOST=1", f"-I{args.platform}",
                f"-I{os.path.join(args.platform, 'host')}", "-fsyntax-only", "-Xclang", "-ast-dump=json", probe])
    tree = json.loads(text)
    tracker = FileTracker()
    names = {}        # name -> kind
    enumerators = []  # names
    records = {}      # record id -> (node, file)
    typedef_targets = []  # (typedef name, record id)

    def record_id_of(node):
        stack = list(node.get("inner", []) or [])
        while stack:
            item = stack.pop(0)
            if isinstance(item, dict):
                decl = item.get("decl")
                if isinstance(decl, dict) and decl.get("kind") in ("CXXRecordDecl", "RecordDecl"):
                    return decl.get("id")
                stack.extend(item.get("inner", []) or [])
        return None

    def visit(node, top_level):
        if not isinstance(node, dict):
            return
        tracker.see(node.get("loc"))
        file = tracker.current
        tracker.see_range(node.get("range"))
        kind = node.get("kind")
        name = node.get("name")
        if kind == "NamespaceDecl":
            walk_children(node, False)  # the host kernel's own namespaces are not vocabulary
            return
        if top_level and file in files and name and not node.get("isImplicit") and not HOST_ONLY.match(name):
            if kind in ("FunctionDecl", "TypedefDecl", "VarDecl"):
                names.setdefault(name, kind)
            qual = (node.get("type") or {}).get("qualType", "")
            if kind == "TypedefDecl" and re.match(r"^(struct|union) [^*()]*$|^(struct|union) \(unnamed", qual):
                target = record_id_of(node)
                if target:
                    typedef_targets.append((name, target))
        if kind in ("CXXRecordDecl", "RecordDecl") and node.get("completeDefinition") and file in files:
            records[node["id"]] = (node, file)
        if kind == "EnumDecl" and file in files:
            for child in node.get("inner", []) or []:
                tracker.see(child.get("loc"))
                tracker.see_range(child.get("range"))
                if child.get("kind") == "EnumConstantDecl" and not HOST_ONLY.match(child["name"]):
                    enumerators.append(child["name"])
                    names.setdefault(child["name"], "EnumConstantDecl")
                walk_children(child, False)
            return
        walk_children(node, top_level and kind in ("TranslationUnitDecl", "LinkageSpecDecl"))

    def walk_children(node, top_level):
        for child in node.get("inner", []) or []:
            visit(child, top_level)

    visit(tree, True)

    def member_paths(record, prefix):
        paths = []
        children = [c for c in record.get("inner", []) or [] if isinstance(c, dict)]
        pending = None  # the unnamed record just before the field that uses it
        for child in children:
            kind = child.get("kind")
            if kind in ("CXXRecordDecl", "RecordDecl") and not child.get("name") and child.get("completeDefinition"):
                pending = child
                continue
            if kind == "FieldDecl":
                field = child.get("name")
                qual = (child.get("type") or {}).get("qualType", "")
                anonymous_type = "(unnamed" in qual or "(anonymous" in qual
                if not field:  # an anonymous member: its members belong to this record
                    if pending is not None:
                        paths += member_paths(pending, prefix)
                elif not field.startswith("Host") and not field.endswith("Host"):
                    paths.append(prefix + field)
                    if anonymous_type and pending is not None:
                        paths += member_paths(pending, prefix + field + ".")
                pending = None
        return paths

    members = []
    seen_records = set()
    for typedef_name, target in typedef_targets:
        if target in seen_records or target not in records or typedef_name.startswith("P"):
            continue
        node, file = records[target]
        if os.path.basename(file) == OPAQUE_RECORD_HEADER:
            continue
        seen_records.add(target)
        for path in member_paths(node, ""):
            if (typedef_name, path) not in ABSENT_MEMBERS:
                members.append((typedef_name, path))
    return names, enumerators, members


def host_values(args, work, names):
    """{name: value as a 64-bit two's complement integer} by running a host program."""
    source = os.path.join(work, "host_values.cpp")
    program = os.path.join(work, "host_values")
    with open(source, "w") as f:
        f.write('#include "kxplatform.h"\n#include <stdio.h>\nint main() {\n')
        for name in names:
            f.write(f'    printf("%s %llx\\n", "{name}", (unsigned long long)(long long)({name}));\n')
        f.write("    return 0;\n}\n")
    run([args.clang, "-x", "c++", "-std=c++17", "-DKX_HOST=1", "-w", f"-I{args.platform}",
         f"-I{os.path.join(args.platform, 'host')}", source, "-o", program])
    values = {}
    for line in run([program]).splitlines():
        name, value = line.split()
        values[name] = int(value, 16)
    return values


# ---- Windows side -------------------------------------------------------------------------------

def windows_probe(path, macros, names, values, members):
    lines = ['// Generated by tests/windows/check_vocabulary.py: every name of the host vocabulary.',
             '#include "kxplatform.h"', "", "namespace kx_vocabulary {"]
    for name in sorted(set(names) | {m for m, (kind, body) in macros.items() if body}):
        lines += [f"#if !defined({name})", f"using ::{name};", "#endif"]
    for name, (kind, body) in sorted(macros.items()):
        if not body:
            lines += [f"#if !defined({name})", f'#error "{name} is not defined"', "#endif"]
    for name, value in sorted(values.items()):
        lines.append(f'static_assert((unsigned long long)(long long)({name}) == 0x{value:x}ULL, '
                     f'"{name} differs from the host value 0x{value:x}");')
    for index, (record, member) in enumerate(members):
        lines.append(f"using member_{index} = decltype(static_cast<{record}*>(nullptr)->{member});")
    lines += ["}  // namespace kx_vocabulary", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def explain(output, probe_lines):
    """One line per failed name, from the Windows compiler's diagnostics."""
    failures = []
    for line in output.splitlines():
        m = re.match(r"^[^:]+:(\d+):\d+: error: (.*)$", line)
        if m:
            number = int(m.group(1))
            source = probe_lines[number - 1].strip() if 0 < number <= len(probe_lines) else ""
            failures.append(f"{source}\n    -> {m.group(2)}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clang", required=True)
    parser.add_argument("--cxx", required=True, help="the Windows C++ compiler")
    parser.add_argument("--platform", required=True, help="driver/platform")
    parser.add_argument("--ddk", required=True, help="mingw-w64 kernel header directory")
    parser.add_argument("--work", required=True, help="directory for generated files")
    parser.add_argument("flags", nargs="*", help="extra Windows compile flags")
    args = parser.parse_args()
    args.platform = os.path.realpath(args.platform)
    os.makedirs(args.work, exist_ok=True)

    files = {os.path.realpath(f) for f in host_files(args.platform)}
    probe = os.path.join(args.work, "host_probe.cpp")
    with open(probe, "w") as f:
        f.write('#include "kxplatform.h"\n')

    macros = host_macros(args, probe, files)
    names, enumerators, members = host_declarations(args, probe, files)
    texts = expanded(args, args.work, [m for m, (kind, body) in macros.items() if kind == "object" and body])
    constant_macros = [m for m, text in texts.items() if text.strip() and CONSTANT_TEXT.match(
        re.sub(r"\b(NTSTATUS|ULONG|LONG|USHORT|UCHAR|CHAR|SHORT|ULONG_PTR|LONG_PTR|ULONGLONG|LONGLONG|"
               r"ULONG64|LONG64|SIZE_T|KIRQL|KPRIORITY|ACCESS_MASK|BOOLEAN|unsigned|signed|int|long|char|short|"
               r"int32_t|uint32_t|int64_t|uint64_t|uint8_t|int8_t|uint16_t|int16_t|uintptr_t|intptr_t)\b", "", text))]
    valued = [name for name in set(constant_macros) | set(enumerators) if not SENTINEL.match(name)]
    values = host_values(args, args.work, sorted(valued))

    windows = os.path.join(args.work, "windows_vocabulary.cpp")
    windows_probe(windows, macros, names, values, members)
    command = [args.cxx, "-std=c++17", "-fsyntax-only", "-fmax-errors=0", f"-I{args.platform}",
               "-isystem", args.ddk] + args.flags + [windows]
    result = subprocess.run(command, capture_output=True, text=True)
    with open(windows) as f:
        probe_lines = f.read().splitlines()
    summary = (f"{len(names)} declarations, {len(macros)} macros, {len(values)} values, "
               f"{len(members)} record members")
    if result.returncode != 0:
        failures = explain(result.stdout + result.stderr, probe_lines)
        for failure in failures:
            print("MISSING OR DIFFERENT: " + failure)
        if not failures:
            print(result.stdout + result.stderr)
        print(f"vocabulary check FAILED: {len(failures)} problem(s) in {summary} (see {windows})")
        return 1
    print(f"vocabulary check ok: {summary} of the host backend exist on Windows with the same values")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Fails the driver build if an object carries global constructors or destructors.

The kernel loader calls DriverEntry and nothing else: the entries of .ctors/.dtors (GCC's lists),
.init_array/.fini_array and .CRT$XC*/.CRT$XI*/.CRT$XT* (the Microsoft run-time's lists) would
never run, and the objects they initialise would be used uninitialised. A global with a
constructor, a destructor or a dynamic initialiser puts an entry in one of these sections.
"""
import argparse
import re
import subprocess
import sys

FORBIDDEN = re.compile(r"^(\.ctors|\.dtors|\.init_array|\.fini_array|\.CRT\$X[CIPT])")


def sections(objdump, path):
    """(name, size) of every section of an object, from `objdump -h`."""
    out = subprocess.run([objdump, "-h", path], check=True, capture_output=True, text=True).stdout
    result = []
    for line in out.splitlines():
        fields = line.split()
        # "  3 .ctors        00000008  0000000000000000  ..."
        if len(fields) >= 3 and fields[0].isdigit():
            result.append((fields[1], int(fields[2], 16)))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--stamp", help="file written when every object passes")
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()

    bad = []
    for path in args.objects:
        for name, size in sections(args.objdump, path):
            if FORBIDDEN.match(name) and size > 0:
                bad.append(f"{path}: section {name} ({size} bytes)")
    if bad:
        print("driver objects with global constructors or destructors (the kernel never runs them):",
              file=sys.stderr)
        for line in bad:
            print("  " + line, file=sys.stderr)
        print("make these globals constant-initialised (constexpr, plain data) or set them up in DriverEntry",
              file=sys.stderr)
        return 1
    if args.stamp:
        with open(args.stamp, "w") as stamp:
            stamp.write(f"{len(args.objects)} objects without global constructors\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

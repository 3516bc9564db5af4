#!/usr/bin/env python3
"""Keeps the driver sources free of the words whose meaning differs between the two builds.

`long` is 32 bits on Windows x64 and 64 bits on Linux, `wchar_t` is 16 bits on Windows and 32 on
Linux, and L"..."/L'...' literals are wchar_t. Driver code uses ULONG, LONG, ULONG_PTR, WCHAR and
KX_WSTR("...") instead, which have the same width on both builds.

Checked: every C/C++ source and header under driver/, including the host backend's headers that
driver code includes (platform/host/hk_wdm.h and wdm_*.h). Not checked: the Windows mapping
(platform/wdm/, which names the kernel headers' own types) and the host backend's implementation
files (ordinary Linux C++). Comments and the contents of string and character literals are not
code and are skipped; a literal's L prefix is code and is caught.

Usage: check-driver-source.py [REPO_ROOT]      (default: the repository of this script)
       check-driver-source.py --self-test
"""
import os
import re
import sys
import tempfile

SOURCE_SUFFIXES = (".h", ".hpp", ".hh", ".inl", ".c", ".cc", ".cpp", ".cxx")
RULES = [
    (re.compile(r"\blong\b"), "`long` (use LONG/ULONG/LONGLONG/ULONG_PTR)"),
    (re.compile(r"\bwchar_t\b"), "`wchar_t` (use WCHAR)"),
    (re.compile(r"(?<![A-Za-z0-9_])L[\"']"), "a wide literal L\"...\"/L'...' (use KX_WSTR(\"...\"))"),
]


def checked(relative):
    """Whether the file at this path (relative to driver/, with '/') is driver-facing code."""
    if not relative.endswith(SOURCE_SUFFIXES):
        return False
    if relative.startswith("platform/wdm/"):
        return False
    if relative.startswith("platform/host/"):
        name = relative[len("platform/host/"):]
        return "/" not in name and (name == "hk_wdm.h" or (name.startswith("wdm_") and name.endswith(".h")))
    return True


def digit_separator(text, i):
    """Whether the quote at i separates digits of a number (0x7FFF'FFFF) rather than opening a literal."""
    j = i
    while j > 0 and (text[j - 1].isalnum() or text[j - 1] in "_'"):
        j -= 1
    return j < i and text[j].isdigit()


def code_only(text):
    """The text with comments and literal contents replaced by spaces (line structure kept).

    A literal's prefix (L, u, u8, U, R) stays, and so do its quotes."""
    out = []
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == '"' and i > 0 and text[i - 1] == "R":
            # Raw string R"delim( ... )delim"
            m = re.match(r'"([^ ()\\\t\n]{0,16})\(', text[i:])
            close = ")" + (m.group(1) if m else "") + '"'
            end = text.find(close, i + 1)
            end = n if end < 0 else end + len(close)
            out.append('"' + re.sub(r"[^\n]", " ", text[i + 1:end - 1]) + '"')
            i = end
        elif c == "'" and digit_separator(text, i):
            out.append(c)
            i += 1
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def findings(root):
    driver = os.path.join(root, "driver")
    result = []
    for directory, _, files in os.walk(driver):
        for name in sorted(files):
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, driver).replace(os.sep, "/")
            if not checked(relative):
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                code = code_only(f.read())
            for number, line in enumerate(code.splitlines(), 1):
                for pattern, what in RULES:
                    if pattern.search(line):
                        result.append(f"driver/{relative}:{number}: {what}")
    return sorted(result)


def self_test():
    cases = {
        # path under driver/: (content, expected number of findings)
        "frame/bad_long.cpp": ("unsigned long x;\nlong long y;\n", 2),
        "frame/bad_wchar.h": ("const wchar_t* p;\n", 1),
        "ohci/bad_literals.cpp": ('auto a = L"x";\nauto b = L\'y\';\n', 2),
        "frame/good.cpp": ('// as long as wchar_t and L"x" are in comments\n/* long */ ULONG x;\n'
                           'const char* s = "long wchar_t L\\"x\\"";\nauto w = KX_WSTR("long");\nLONGLONG ok;\n'
                           "auto r = R\"(long L\"x\")\";\nint MAXLONG_L = 0;\n", 0),
        "bus/separators.cpp": ("ULONG m = 0x7FFF'FFFF; long bad;\n", 1),
        "platform/wdm/kx_wdm.h": ("typedef unsigned long X;\n", 0),
        "platform/host/kernel.cpp": ("long host_only;\n", 0),
        "platform/host/wdm_io.h": ("long leaked_into_driver_header;\n", 1),
        "platform/host/hk_wdm.h": ("wchar_t leaked;\n", 1),
        "windows/KX1394DRV64.rc": ('FILEFLAGS 0x0L\nVALUE L"x"\n', 0),
    }
    with tempfile.TemporaryDirectory() as root:
        for relative, (content, _) in cases.items():
            path = os.path.join(root, "driver", relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(content)
        found = findings(root)
    failures = []
    for relative, (_, expected) in cases.items():
        got = sum(1 for line in found if line.startswith(f"driver/{relative}:"))
        if got != expected:
            failures.append(f"self-test: driver/{relative}: {got} findings, expected {expected}")
    for line in failures:
        print(line)
    print(f"check-driver-source self-test: {'FAILED' if failures else 'ok'} ({len(cases)} cases)")
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = findings(root)
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} place(s) in driver code with a word whose width differs between Windows and Linux")
        return 1
    print("driver sources: no long, wchar_t or wide literals")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Writes the module-definition (.def) file of the Windows JNI library.

The 32-bit JVM looks a native method up under its stdcall-decorated name,
"_Java_<class>_<method>@<bytes>", where <bytes> is the size of the argument
list on the stack. mingw's linker exports stdcall functions without the
leading underscore, so every native is listed here as

    _Java_..._getStore@24 = Java_..._getStore@24

(exported name = the linker's name of the function). The natives are read
from the sources that go into the DLL: every definition of a
Java_com_plimo_mail_mapi_MAPINative_<name> function (or of
Java_com_plimo_mail_mapi_MAPINativeAttached_<name>), written out or through a
macro that pastes the name (as TOLVANE_NATIVE in bridge/jniutil.h does), and
JNI_OnLoad/JNI_OnUnload when a source defines them. The argument size comes
from each definition's C parameter list, so the DLL exports exactly what the
bridge implements, and a size that disagrees with the compiled function fails
the link ("cannot export ...: symbol not defined").

usage: gen_def.py --library NAME.dll --output FILE.def [--include-dir DIR]... SOURCE...
"""

import argparse
import os
import re
import sys

PREFIX = "Java_com_plimo_mail_mapi_MAPINative_"
# Every class whose natives the library implements: MAPINative (the 47) and
# MAPINativeAttached (the messages attached to received messages).
PREFIXES = (PREFIX, "Java_com_plimo_mail_mapi_MAPINativeAttached_")

# Bytes each parameter takes on the 32-bit stack (every argument is widened
# to at least 4 bytes).
EIGHT_BYTE_TYPES = {
    "jlong", "jdouble", "double", "__int64", "int64_t", "uint64_t",
    "LONGLONG", "ULONGLONG", "INT64", "UINT64", "DWORD64", "LONG64", "ULONG64",
}
FOUR_BYTE_TYPES = {
    "jint", "jboolean", "jbyte", "jchar", "jshort", "jfloat", "jsize",
    "jobject", "jclass", "jstring", "jthrowable", "jweak", "jarray",
    "jobjectArray", "jbooleanArray", "jbyteArray", "jcharArray", "jshortArray",
    "jintArray", "jlongArray", "jfloatArray", "jdoubleArray",
    "jfieldID", "jmethodID",
    "int", "unsigned", "signed", "long", "short", "char", "bool", "float",
    "int8_t", "uint8_t", "int16_t", "uint16_t", "int32_t", "uint32_t",
    "BOOL", "BYTE", "WORD", "DWORD", "LONG", "ULONG", "UINT", "INT",
}
QUALIFIERS = {"const", "volatile", "struct", "class", "enum", "register"}


class DefError(Exception):
    pass


def strip_code(text):
    """Blanks out comments and string and character literals (keeping line
    breaks), so that names inside log messages are not taken for code."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "/" and i + 1 < n and text[i + 1] == "/":
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif c == "/" and i + 1 < n and text[i + 1] == "*":
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j) or " ")
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            end = text.find(")" + m.group(1) + '"', i)
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""' + "\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def balanced(text, start):
    """text[start] is '('; returns (inside, index after the matching ')')."""
    depth = 0
    for k in range(start, len(text)):
        if text[k] == "(":
            depth += 1
        elif text[k] == ")":
            depth -= 1
            if depth == 0:
                return text[start + 1:k], k + 1
    raise DefError("unbalanced parentheses")


def split_top(text):
    parts, depth, cur = [], 0, []
    for ch in text:
        if ch in "(<[":
            depth += 1
        elif ch in ")>]":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    parts.append("".join(cur))
    return [p.strip() for p in parts]


def param_bytes(param, where):
    p = re.sub(r"=.*$", "", param).strip()  # default argument
    if "*" in p or "&" in p or "[" in p:
        return 4
    words = [w for w in re.findall(r"[A-Za-z_]\w*", p) if w not in QUALIFIERS]
    if not words:
        raise DefError("%s: cannot read parameter '%s'" % (where, param))
    # "long long x", "jlong x", "jlong": drop a trailing parameter name.
    if len(words) > 1 and words[-1] not in EIGHT_BYTE_TYPES | FOUR_BYTE_TYPES:
        words = words[:-1]
    if words.count("long") >= 2 or any(w in EIGHT_BYTE_TYPES for w in words):
        return 8
    if all(w in FOUR_BYTE_TYPES for w in words):
        return 4
    raise DefError("%s: no known stack size for parameter '%s'" % (where, param))


def params_bytes(params, where):
    params = params.strip()
    if params in ("", "void"):
        return 0
    total = 0
    for p in split_top(params):
        if p == "...":
            raise DefError("%s: a variadic function cannot be stdcall" % where)
        total += param_bytes(p, where)
    return total


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def gather_files(sources, include_dirs):
    """The sources and, recursively, the project headers they include with
    quotes (where the pasting macros live)."""
    seen, order, todo = set(), [], list(sources)
    while todo:
        path = os.path.normpath(todo.pop(0))
        if path in seen:
            continue
        seen.add(path)
        order.append(path)
        for inc in re.findall(r'^\s*#\s*include\s*"([^"]+)"', read(path), re.M):
            for base in [os.path.dirname(path)] + include_dirs:
                cand = os.path.join(base, inc)
                if os.path.isfile(cand):
                    todo.append(cand)
                    break
    return order


def find_macros(code):
    """Function-like macros that paste their argument onto a natives'
    prefix: name -> (index of that argument, prefix)."""
    macros = {}
    joined = re.sub(r"\\\n", " ", code)
    for m in re.finditer(r"^\s*#\s*define\s+(\w+)\(([^)]*)\)(.*)$", joined, re.M):
        args = [a.strip() for a in m.group(2).split(",")]
        for prefix in PREFIXES:
            pasted = re.search(r"\b" + re.escape(prefix) + r"\s*##\s*(\w+)", m.group(3))
            if pasted and pasted.group(1) in args:
                macros[m.group(1)] = (args.index(pasted.group(1)), prefix)
    return macros


def body_follows(code, pos):
    """True when a function body (not a ';') follows a parameter list."""
    m = re.match(r"\s*(?:noexcept\s*)?(?:\{|;)?", code[pos:])
    return m is not None and m.group(0).strip().endswith("{")


def find_natives(path, code, macros, found):
    where = os.path.basename(path)
    for prefix in PREFIXES:
        for m in re.finditer(r"\b" + re.escape(prefix) + r"(\w+)\s*\(", code):
            params, after = balanced(code, m.end() - 1)
            if body_follows(code, after):
                add(found, prefix + m.group(1), params_bytes(params, where + ": " + m.group(1)), where)
    for name, (index, prefix) in macros.items():
        for m in re.finditer(r"\b" + re.escape(name) + r"\s*\(", code):
            if re.match(r"\s*#\s*define\b", code[code.rfind("\n", 0, m.start()) + 1:m.start()]):
                continue
            args, after = balanced(code, m.end() - 1)
            args = split_top(args)
            if index >= len(args):
                continue
            rest = re.match(r"\s*\(", code[after:])
            if not rest:
                continue
            params, end = balanced(code, after + rest.end() - 1)
            if body_follows(code, end):
                native = args[index].strip()
                add(found, prefix + native, params_bytes(params, where + ": " + native), where)
    for m in re.finditer(r"\b(JNI_OnLoad|JNI_OnUnload)\s*\(", code):
        params, after = balanced(code, m.end() - 1)
        if body_follows(code, after):
            add(found, m.group(1), params_bytes(params, where + ": " + m.group(1)), where)


def add(found, name, size, where):
    if name in found and found[name] != (size, where):
        raise DefError("%s defined twice (%s, %s)" % (name, found[name][1], where))
    found[name] = (size, where)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--library", required=True, help="the DLL's file name")
    ap.add_argument("--output", required=True)
    ap.add_argument("--include-dir", action="append", default=[])
    ap.add_argument("sources", nargs="+")
    a = ap.parse_args()

    try:
        files = gather_files(a.sources, a.include_dir)
        stripped = {f: strip_code(read(f)) for f in files}
        macros = {}
        for code in stripped.values():
            macros.update(find_macros(code))
        found = {}
        for f in a.sources:
            f = os.path.normpath(f)
            find_natives(f, stripped[f], macros, found)
        if not any(n.startswith(PREFIX) for n in found):
            raise DefError("no native method definitions found in the sources")
    except (DefError, OSError) as e:
        print("gen_def.py: error: %s" % e, file=sys.stderr)
        return 1

    lines = [
        "; Exports of %s, written by cmake/gen_def.py from the sources." % a.library,
        "; Each native under the name the 32-bit JVM looks up (_Name@bytes).",
        'LIBRARY "%s"' % a.library,
        "EXPORTS",
    ]
    for name in sorted(found):
        size = found[name][0]
        lines.append("    _%s@%d = %s@%d" % (name, size, name, size))
    text = "\n".join(lines) + "\n"
    os.makedirs(os.path.dirname(os.path.abspath(a.output)), exist_ok=True)
    with open(a.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

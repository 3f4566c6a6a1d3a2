#!/usr/bin/env python3
"""Lists the static natives that a Java source declares, one per line, as
"<JNI function name> <argument bytes on the 32-bit stack>".

The bytes are counted from the Java declaration alone: 8 for JNIEnv* and the
jclass, then 8 for each long or double parameter and 4 for any other (int,
boolean, references, arrays). This is the figure in the stdcall-decorated
name that the 32-bit JVM looks up, "_<JNI name>@<bytes>".

usage: java_natives.py JAVA_SOURCE
"""

import re
import sys

MODIFIERS = r"(?:public|protected|private|static|native|final|synchronized|strictfp)"


def strip_java(text):
    """Blanks out comments and string and character literals."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)
    text = re.sub(r"'(?:\\.|[^'\\\n])*'", "''", text)
    return text


def split_params(params):
    parts, depth, cur = [], 0, []
    for ch in params:
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    parts.append("".join(cur))
    return [p.strip() for p in parts if p.strip()]


def param_bytes(param):
    p = re.sub(r"@\w+(?:\([^)]*\))?", " ", param)  # annotations
    p = re.sub(r"\bfinal\b", " ", p).strip()
    p = re.sub(r"\s+\w+\s*$", "", p)  # the parameter's name
    p = re.sub(r"\s+", "", p)
    return 8 if p in ("long", "double") else 4


def mangle(name):
    """A Java identifier as it appears in a JNI function name."""
    out = []
    for ch in name:
        if ch == "_":
            out.append("_1")
        elif ch.isascii() and ch.isalnum():
            out.append(ch)
        else:
            out.append("_0%04x" % ord(ch))
    return "".join(out)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    path = sys.argv[1]
    with open(path, encoding="utf-8") as f:
        code = strip_java(f.read())

    package = re.search(r"\bpackage\s+([\w.]+)\s*;", code)
    cls = re.search(r"\b(?:class|interface|enum)\s+(\w+)", code)
    if not package or not cls:
        print("%s: no package or class declaration" % path, file=sys.stderr)
        return 1
    prefix = "Java_" + "_".join(mangle(p) for p in package.group(1).split(".")) + "_" + mangle(cls.group(1)) + "_"

    decl = re.compile(
        r"((?:\b" + MODIFIERS + r"\s+)+)"      # modifiers
        r"(?:<[^>]*>\s*)?"                      # type parameters
        r"[\w.$<>\[\],? ]+?\s+"                 # return type
        r"(\w+)\s*\(([^)]*)\)"                  # name and parameters
        r"\s*(?:throws\s+[\w.,\s]+)?;")
    seen = {}
    for m in decl.finditer(code):
        mods = m.group(1).split()
        if "native" not in mods or "static" not in mods:
            continue
        name = m.group(2)
        size = 8 + sum(param_bytes(p) for p in split_params(m.group(3)))
        if name in seen:
            print("%s: native %s is overloaded; its JNI names would carry signatures" % (path, name),
                  file=sys.stderr)
            return 1
        seen[name] = size
    for name in sorted(seen):
        print("%s%s %d" % (prefix, mangle(name), seen[name]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

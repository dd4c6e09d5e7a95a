#!/usr/bin/env python3
"""Generated trees of nested .editorconfig files with random sections: the
EditorConfig C core's own command-line tool (Debian's `editorconfig`) must
print the same end_of_line and charset for every file as eolset's parser
and matcher resolve them (through the core-shaped program beside this file).

Usage: oracle.py OUR_CLI [ROUNDS]"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

FOLDERS = ["a", "b", "src", "x y", "lib1", "deep"]
FILES = ["f.txt", "g.c", "h.bat", "Makefile", "r.md", "s.ps1", "t1.log", "u.cmd", "v.py", "w12"]
GLOBS = ["*", "*.txt", "*.{bat,cmd}", "*.{c,h}", "**.md", "src/*", "/src/**", "**/b/*",
         "[fg].*", "[!f]*.c", "?.c", "t{1..3}.log", "w{10..20}", "{a,b}/*", "Makefile",
         "*.[ch]", "a/**/f.txt", "\\*.txt", "{f,g}.{txt,c}", "*.ps1", "deep/**", "**"]
PROPS = [("end_of_line", ["lf", "crlf", "cr", "unset", "LF", "CrLf"]),
         ("charset", ["utf-8", "utf-8-bom", "latin1", "utf-16le", "unset", "UTF-8-BOM"])]


def make_tree(rnd, root):
    folders = [""]
    for _ in range(rnd.randint(2, 6)):
        parent = rnd.choice(folders)
        if parent.count("/") < 3:
            folders.append(parent + rnd.choice(FOLDERS) + "/")
    files = set()
    for _ in range(rnd.randint(10, 25)):
        files.add(rnd.choice(folders) + rnd.choice(FILES))
    for f in files:
        path = os.path.join(root, f)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "wb").close()
    for folder in sorted(set(rnd.choice(folders) for _ in range(rnd.randint(1, 4)))):
        lines = []
        if rnd.random() < 0.3 or folder == "":
            lines.append("root = true")
        for _ in range(rnd.randint(1, 5)):
            lines.append("[%s]" % rnd.choice(GLOBS))
            for key, values in PROPS:
                if rnd.random() < 0.7:
                    lines.append("%s = %s" % (key, rnd.choice(values)))
        os.makedirs(os.path.join(root, folder), exist_ok=True)
        with open(os.path.join(root, folder, ".editorconfig"), "w") as out:
            out.write("\n".join(lines) + "\n")
    return sorted(files)


def props(cmd, path):
    out = subprocess.run(cmd + [path], stdout=subprocess.PIPE, check=True).stdout.decode()
    found = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return {k: found.get(k) for k in ("end_of_line", "charset")}


def main():
    ours = [os.path.abspath(sys.argv[1])]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    if not shutil.which("editorconfig"):
        print("oracle: the editorconfig tool is missing (tools/setup.sh installs it)")
        return 1
    rnd = random.Random(36)
    wrong, checked = [], 0
    for r in range(rounds):
        root = tempfile.mkdtemp(prefix="eolset-ec-oracle-")
        try:
            for f in make_tree(rnd, root):
                path = os.path.join(root, f)
                want, got = props(["editorconfig"], path), props(ours, path)
                checked += 1
                if want != got:
                    wrong.append((r, f, want, got))
            if wrong and wrong[-1][0] == r and os.environ.get("ORACLE_SHOW"):
                for dirpath, _, names in os.walk(root):
                    if ".editorconfig" in names:
                        print("--", os.path.relpath(dirpath, root))
                        print(open(os.path.join(dirpath, ".editorconfig")).read())
        finally:
            shutil.rmtree(root)
    for w in wrong[:20]:
        print("round %d %s: editorconfig %s, eolset %s" % w)
    print("oracle: %d files, %d differ" % (checked, len(wrong)))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())

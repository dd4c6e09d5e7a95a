#!/usr/bin/env python3
"""Generated trees of nested .editorconfig files with random sections: the
EditorConfig C core's own command-line tool (Debian's `editorconfig`) must
print the same end_of_line and charset for every file as eolset's parser
and matcher resolve them (through the core-shaped program beside this file),
and `eolset -e -u` and `-e -w` on the tree must leave every file's bytes as
those answers make them.

Usage: oracle.py OUR_CLI EOLSET [ROUNDS]"""
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
        with open(path, "wb") as out:
            out.write(TEXT)
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


# Mixed line ends, a mark at the start and one inside.
TEXT = b"\xef\xbb\xbfone\r\ntwo\nthree\r\nfour \xef\xbb\xbfmid\n"


def converted(p, windows):
    """What a file holding TEXT must hold after `eolset -e -u` (or -w)."""
    eol = (p["end_of_line"] or "").lower()
    if eol == "cr":
        return TEXT  # left alone
    if eol in ("lf", "crlf"):
        windows = eol == "crlf"
    body = TEXT.replace(b"\xef\xbb\xbf", b"").replace(b"\r\n", b"\n")
    if windows:
        body = body.replace(b"\n", b"\r\n")
    keep = (p["charset"] or "").lower() == "utf-8-bom"
    return (b"\xef\xbb\xbf" if keep else b"") + body


def props(cmd, path):
    out = subprocess.run(cmd + [path], stdout=subprocess.PIPE, check=True).stdout.decode()
    found = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return {k: found.get(k) for k in ("end_of_line", "charset")}


def main():
    ours = [os.path.abspath(sys.argv[1])]
    eolset = os.path.abspath(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 60
    if not shutil.which("editorconfig"):
        print("oracle: the editorconfig tool is missing (tools/setup.sh installs it)")
        return 1
    rnd = random.Random(36)
    wrong, checked = [], 0
    for r in range(rounds):
        root = tempfile.mkdtemp(prefix="eolset-ec-oracle-")
        try:
            files = make_tree(rnd, root)
            answers = {}
            for f in files:
                path = os.path.join(root, f)
                want, got = props(["editorconfig"], path), props(ours, path)
                answers[f] = want
                checked += 1
                if want != got:
                    wrong.append((r, f, want, got))
            # The run itself, each mode on a copy of the tree.
            for mode, windows in (("-u", False), ("-w", True)):
                copy = root + mode
                shutil.copytree(root, copy)
                try:
                    subprocess.run([eolset, "-e", "-q", mode, copy], check=False,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    for f in files:
                        with open(os.path.join(copy, f), "rb") as inp:
                            data = inp.read()
                        if data != converted(answers[f], windows):
                            wrong.append((r, f + " " + mode, answers[f], data))
                finally:
                    shutil.rmtree(copy)
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

#!/usr/bin/env python3
"""End-to-end tests: run the real eolset program on folder trees made here.

The same expectations hold for the Linux program and for the Windows program
under Wine (--wine). With --compare, the Linux and the Windows program run on
identical copies of one tree and must print the same bytes and leave the same
files.
"""
import argparse
import atexit
import os
import resource
import shutil
import signal
import threading
import time
import stat
import subprocess
import sys
import tempfile
import fcntl
import glob
import pwd
import random
import resource
import unittest

ARGS = None
HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(HERE, "..", "..", "cmake", "wine-run.sh")

HELP = (
    "Newlinery\n"
    "Copyright (c) 2026 the eolset developers\n"
    "build 26VA\n"
    'syntax: "eolset [<switch> ...] <folder> [[+|-]<filter> ...]"\n'
    "switches:\n"
    "  -h  show this help information\n"
    "  -p  preserve file modify time\n"
    "  -t  test only, do not modify files\n"
    "  -u  convert to unix text file\n"
    "  -w  convert to windows text file\n"
    "  -f  also convert binary files and version-control folders\n"
    "  -j<N>  convert N files at a time (-j1: one after another)\n"
    "  -c  check only: name the files that would change, status 1 if any\n"
    "  -0  end each file name with NUL, write the summary to standard error\n"
    "  -q  quiet: print no file names and no summary\n"
    "  -b  keep byte-order marks\n"
    "  -e  follow .gitignore, .gitattributes and .editorconfig\n"
    "  --version  show the version number\n"
    "  -  remaining arguments are not switches\n"
    "If <folder> identifies a single existing file then the single file will be processed.\n"
    "Further files and folders may follow a single file; each is processed as if given alone.\n"
    "If <folder> contains wildcards, the portion up to the first element containing wildcards"
    ' will be used as the folder and the remaining elements will be used as a "+" filter.\n'
    "If no filters are specified then all files in the folder are processed.\n"
    "examples:\n"
    "   eolset -u source/*.cpp\n"
    "   eolset -w source -**.sh +**.cpp -samples/**\n"
)
MISSING = "ERROR: Must supply folder/file name.\n"


# Root without the capabilities that let it ignore permission bits.
DROP_CAPS = ["setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", "--"]


def command(program, wine, args):
    return ([WINE_RUN, program] if wine else [program]) + list(args)


def run_program(program, wine, args, cwd, caps_dropped=False, full=False):
    cmd = command(program, wine, args)
    if caps_dropped and os.geteuid() == 0:
        # Root ignores permission bits; without these capabilities it does not.
        cmd = DROP_CAPS + cmd
    p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=600)
    out = p.stdout.decode("utf-8", "surrogateescape")
    if full:
        return out, p.returncode, p.stderr.decode("utf-8", "replace")
    return out, p.returncode


def win(path):
    """The path as both programs print it: drive Z: is the POSIX root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def windows_form(out, typed, cwd):
    """The Linux program's output in the Windows program's form: each path
    line (the folder as typed, '/', the names) as the full Windows path."""
    lines = []
    for line in out.split("\n"):
        if line == typed or line.startswith(typed + "/"):
            line = win(os.path.join(cwd, typed)) + line[len(typed):].replace("/", "\\")
        lines.append(line)
    return "\n".join(lines)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


MIXED_TREE = {
    "a.txt": b"a\r\nb\r\nc\n",
    "B.txt": b"\xef\xbb\xbfbom\n",
    "sub/c.txt": b"one\rtwo\r",
    "sub/deeper/d.txt": b"x\r\r\ny\n",
    "sub.txt": b"plain",
    "z/\u03b1\u03b2\u03b3.txt": b"greek\n",
    "z/\u6f22\u5b57.txt": b"cjk\n\r\n\r\n",
    "z/\U0001F600.txt": b"emoji\r\n",
    "empty.txt": b"",
    "nul.bin": b"a\r\nb\n\x00",
}


def make_mixed_tree(root):
    for rel, data in MIXED_TREE.items():
        write(os.path.join(root, rel), data)


class Tree(unittest.TestCase):
    program = None
    wine = False

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="eolset-e2e-")
        self.root = os.path.join(self.tmp, "root")
        os.makedirs(self.root)

    def tearDown(self):
        for dirpath, dirnames, _ in os.walk(self.tmp):
            for d in dirnames:
                try:
                    os.chmod(os.path.join(dirpath, d), 0o755)
                except OSError:
                    pass
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_eolset(self, *args, caps_dropped=False):
        return run_program(self.program, self.wine, args, self.tmp, caps_dropped)

    def run_full(self, *args, caps_dropped=False):
        """Standard output, status and standard error."""
        return run_program(self.program, self.wine, args, self.tmp, caps_dropped, full=True)

    def p(self, rel):
        return os.path.join(self.root, rel)

    def snapshot(self):
        """Every file of root and its bytes."""
        out = {}
        for dirpath, _, filenames in os.walk(self.root):
            for n in filenames:
                full = os.path.join(dirpath, n)
                out[os.path.relpath(full, self.root)] = read(full)
        return out

    def shown(self, rel, linux=None):
        """How the program prints the file `rel` of root: the Windows program
        in full Windows form; the Linux program as the folder was typed
        ("root" unless `linux` says otherwise), then '/' and the names."""
        return win(self.p(rel)) if self.wine else (linux or "root/" + rel)


class CommandLine(Tree):
    def test_no_folder_argument(self):
        self.assertEqual(self.run_full(), ("", 1, MISSING))
        self.assertEqual(self.run_full(""), ("", 1, MISSING))

    def test_help_and_version(self):
        write(self.p("a.txt"), b"a\r\nb\n")
        for switch in ("-h", "-?", "/H", "--help"):
            self.assertEqual(self.run_full(switch, "root"), (HELP, 0, ""))
        self.assertEqual(self.run_full("--version"), ("eolset %s\n" % ARGS.version, 0, ""))
        self.assertEqual(read(self.p("a.txt")), b"a\r\nb\n")

    def test_switch_spellings(self):
        write(self.p("a.txt"), b"a\r\nb\r\n")
        expect = self.shown("a.txt") + "\n1 files processed\nwould fix 2 line feeds and 0 BOMs in 1 files\n"
        for args in (("-t", "-u", "root"), ("-T", "-U", "root"), ("/t", "/u", "root"),
                     ("root", "-t", "-u"), ("-t", "root", "-u")):
            self.assertEqual(self.run_eolset(*args), (expect, 0), args)
        self.assertEqual(read(self.p("a.txt")), b"a\r\nb\r\n")

    def test_lone_dash_ends_switches(self):
        # "-" is the folder, "-w" an exclude filter: no switch sets the form,
        # so the tie of one LF and one CR LF goes to unix.
        dash = os.path.join(self.tmp, "-")
        write(os.path.join(dash, "a.txt"), b"a\r\nb\n")
        out, rc = self.run_eolset("-", "-w")
        self.assertEqual(rc, 0)
        self.assertEqual(read(os.path.join(dash, "a.txt")), b"a\nb\n")
        self.assertIn("fixed 1 line feeds and 0 BOMs in 1 files\n", out)

    def test_folder_named_like_a_switch_after_double_dash(self):
        write(self.p("a.txt"), b"a\r\n")
        xdir = os.path.join(self.tmp, "-x")
        write(os.path.join(xdir, "b.txt"), b"b\r\n")
        out, rc = self.run_eolset("-u", "--", "-x")
        self.assertEqual(rc, 0)
        self.assertEqual(read(os.path.join(xdir, "b.txt")), b"b\n")
        self.assertEqual(read(self.p("a.txt")), b"a\r\n")

    def test_missing_folder_is_reported(self):
        out, rc, err = self.run_full("-u", "nothing-here")
        self.assertEqual((out, rc), ("", 1))
        self.assertTrue(err.startswith('ERROR: Cannot open folder "nothing-here": '), err)
        self.assertTrue(err.endswith(".\n"))
        self.assertEqual(err.count("\n"), 1)


class Scripts(Tree):
    """What scripts, CI jobs and hooks run: several operands, -c, -0, -q, -b,
    and the mistakes a command line can hold."""

    FILES = {"one.txt": b"1\r\n", "two.txt": b"2\n", "root/a.txt": b"a\r\n", "root/b.txt": b"b\n",
             "root/bom.txt": b"\xef\xbb\xbfm\n", "root/sub/c.txt": b"c\r\n"}

    def name(self, typed):
        """How a file reached through the path `typed` is printed."""
        return win(os.path.join(self.tmp, typed)) if self.wine else typed

    def test_table_of_command_lines(self):
        n = self.name
        lf1 = "fixed 1 line feeds and 0 BOMs in 1 files\n"
        converted = {"one.txt": b"1\n", "root/a.txt": b"a\n", "root/sub/c.txt": b"c\n",
                     "root/bom.txt": b"m\n"}
        unknown = 'ERROR: Unknown switch "%s"; see eolset -h.\n'
        workers = 'ERROR: Switch "%s" needs a number from 1 to 64; see eolset -h.\n'
        nothing = "No file matched the filters.\n"
        cases = [
            # args, status, standard output, standard error, files that change
            (["-u", "one.txt", "two.txt", "root/sub"], 0,
             n("one.txt") + "\n" + n("root/sub/c.txt") + "\n3 files processed\n"
             "fixed 2 line feeds and 0 BOMs in 2 files\n", "",
             {"one.txt", "root/sub/c.txt"}),
            (["-u", "one.txt", "nope.txt", "root/sub/c.txt"], 1,
             n("one.txt") + "\n" + n("root/sub/c.txt") + "\n2 files processed\n"
             "fixed 2 line feeds and 0 BOMs in 2 files\n",
             'ERROR: Cannot open file "nope.txt": file not found (error 2).\n',
             {"one.txt", "root/sub/c.txt"}),
            (["-u", "two.txt", "root/*.txt"], 0,
             n("root/a.txt") + "\n" + n("root/bom.txt") + "\n4 files processed\n"
             "fixed 1 line feeds and 1 BOMs in 2 files\n", "", {"root/a.txt", "root/bom.txt"}),
            (["-u", "one.txt", "-u", "two.txt", "-", "-sub"], 1, n("one.txt") + "\n2 files processed\n" + lf1,
             'ERROR: Cannot open file "-sub": file not found (error 2).\n', {"one.txt"}),
            (["-u", "one.txt", "+*.txt"], 1, "",
             'ERROR: "+*.txt" is a filter, and filters need a folder first; see eolset -h.\n', set()),
            (["-u", "one.txt", "two.txt", "-x"], 1, "",
             'ERROR: "-x" is a filter, and filters need a folder first; see eolset -h.\n', set()),
            (["-c", "-u", "root"], 1,
             "".join(n(f) + "\n" for f in ("root/a.txt", "root/bom.txt", "root/sub/c.txt")), "", set()),
            (["-c", "-u", "two.txt", "root/b.txt"], 0, "", "", set()),
            (["-c", "-w", "root/sub"], 0, "", "", set()),
            (["-c", "two.txt", "root/sub"], 0, "", "", set()),
            (["-c", "root"], 1, n("root/bom.txt") + "\n", "", set()),
            (["-c", "-q", "-u", "root"], 1, "", "", set()),
            (["-c", "-0", "-u", "one.txt", "two.txt"], 1, n("one.txt") + "\0", "", set()),
            (["-t", "-0", "-u", "root"], 0,
             "".join(n(f) + "\0" for f in ("root/a.txt", "root/bom.txt", "root/sub/c.txt")),
             "4 files processed\nwould fix 2 line feeds and 1 BOMs in 3 files\n", set()),
            (["-q", "-u", "root"], 0, "", "", {"root/a.txt", "root/bom.txt", "root/sub/c.txt"}),
            (["-b", "-u", "root"], 0,
             n("root/a.txt") + "\n" + n("root/sub/c.txt") + "\n4 files processed\n"
             "fixed 2 line feeds and 0 BOMs in 2 files\n", "", {"root/a.txt", "root/sub/c.txt"}),
            (["-c", "-b", "-w", "root/bom.txt"], 1, n("root/bom.txt") + "\n", "", set()),
            (["-c", "-b", "-u", "root/bom.txt"], 0, "", "", set()),
            (["-x", "root"], 1, "", unknown % "-x", set()),
            (["--check", "root"], 1, "", unknown % "--check", set()),
            (["-u", "-j0", "root"], 1, "", workers % "-j0", set()),
            (["-j", "root"], 1, "", workers % "-j", set()),
            (["-j65", "-u", "root"], 1, "", workers % "-j65", set()),
            (["-u", "root", "-x", "-sub/**"], 0,
             n("root/a.txt") + "\n" + n("root/bom.txt") + "\n3 files processed\n"
             "fixed 1 line feeds and 1 BOMs in 2 files\n", "", {"root/a.txt", "root/bom.txt"}),
            (["-t", "root", "*.zz"], 0, "", nothing, set()),
            (["-t", "root/*.zz"], 0, "", nothing, set()),
            (["-t", "-u", "one.txt", "root/sub/*.zz"], 0,
             n("one.txt") + "\n1 files processed\nwould fix 1 line feeds and 0 BOMs in 1 files\n",
             nothing, set()),
            (["-u", "root", "two.txt"], 0, "", nothing, set()),
        ]
        if not self.wine:
            # A link to nothing named first still makes the rest operands.
            cases += [(["-c", "-u", "root/dead.txt", "one.txt", "root/dead.txt"], 1, "one.txt\n", "",
                       set()),
                      (["-u", "root/dead.txt"], 0, "", "", set())]
        for args, status, out, err, changed in cases:
            for rel, data in self.FILES.items():
                write(os.path.join(self.tmp, rel), data)
            if not self.wine:
                # A link to nothing is left alone, as Windows lists none.
                os.symlink("nowhere", self.p("dead.txt"))
            got = self.run_full(*args)
            self.assertEqual(got, (out, status, err), args)
            for rel, data in self.FILES.items():
                want = converted[rel] if rel in changed else data
                if "-b" in args and rel == "root/bom.txt":
                    want = data
                self.assertEqual(read(os.path.join(self.tmp, rel)), want, (args, rel))
            if not self.wine:
                os.unlink(self.p("dead.txt"))

    def test_xargs_equals_one_run_over_the_folder(self):
        rnd = random.Random(33)
        kinds = [b"a\r\nb\r\n", b"a\nb\n", b"\xef\xbb\xbfa\r\n", b"a\rb\n", b"x\x00\r\n", b""]
        files = {}
        for i in range(300):
            rel = "d%d/%s%03d.txt" % (i % 7, "sp ace " if i % 5 == 0 else "", i)
            files[rel] = rnd.choice(kinds)
        trees = {}
        for name in ("whole", "xargs", "xargs7"):
            top = os.path.join(self.tmp, name)
            for rel, data in files.items():
                write(os.path.join(top, rel), data)
            if not self.wine:
                # git keeps links; this one is listed first, so it stands for the file
                os.symlink("gone.txt", os.path.join(top, "d0", "000dead.txt"))
            subprocess.run(["git", "init", "-q", top], check=True)
            subprocess.run(["git", "-C", top, "add", "-A"], check=True)
            trees[name] = top
        _, whole_rc = run_program(self.program, self.wine, ["-u", "."], trees["whole"])
        for name, extra in (("xargs", []), ("xargs7", ["-n", "7"])):
            listing = subprocess.run(["git", "-C", trees[name], "ls-files", "-z"], check=True,
                                     stdout=subprocess.PIPE).stdout
            p = subprocess.run(["xargs", "-0"] + extra + command(self.program, self.wine, ["-u"]),
                               input=listing, cwd=trees[name], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=900)
            self.assertEqual(p.returncode, whole_rc, name)
            self.assertEqual(p.stderr, b"", name)
            for rel in files:
                self.assertEqual(read(os.path.join(trees[name], rel)),
                                 read(os.path.join(trees["whole"], rel)), (name, rel))

    def test_nul_names_hold_any_name(self):
        names = ["plain.txt", "sp ace.txt", "[x] (y) 'z' \u00e9.txt"]
        if not self.wine:
            names += ["line\nfeed.txt", "tab\there.txt"]
        for rel in names:
            write(self.p(rel), b"x\r\n")
        write(self.p("ok.txt"), b"x\n")
        out, rc, err = self.run_full("-t", "-0", "-u", "root")
        self.assertEqual(rc, 0)
        self.assertTrue(out.endswith("\0"))
        self.assertEqual(sorted(out[:-1].split("\0")), sorted(self.shown(r) for r in names))
        self.assertEqual(err, "%d files processed\nwould fix %d line feeds and 0 BOMs in %d files\n"
                         % (len(names) + 1, len(names), len(names)))
        # What xargs -0 hands on names every file, whole.
        p = subprocess.run(["xargs", "-0", "-n", "1", "printf", "%s|"], input=out.encode("utf-8", "surrogateescape"),
                           stdout=subprocess.PIPE, check=True)
        self.assertEqual(sorted(p.stdout.decode().split("|")[:-1]), sorted(self.shown(r) for r in names))


class Conversion(Tree):
    def test_nothing_to_fix_prints_only_the_count(self):
        write(self.p("a.txt"), b"a\nb\n")
        write(self.p("sub/b.txt"), b"no line end")
        self.assertEqual(self.run_eolset("root"), ("2 files processed\n", 0))

    def test_example_of_five_files(self):
        for name, data in (("a.txt", b"x\r\n"), ("b.txt", b"x\n"), ("c.txt", b"x\r\ny\r\n"),
                           ("d.txt", b"x"), ("e.txt", b"x\n")):
            write(self.p(name), data)
        out, rc = self.run_eolset("-u", "root")
        self.assertEqual(out, "%s\n%s\n5 files processed\nfixed 3 line feeds and 0 BOMs in 2 files\n"
                         % (self.shown("a.txt"), self.shown("c.txt")))
        self.assertEqual(read(self.p("c.txt")), b"x\ny\n")

    def make_mixed_tree(self):
        return make_mixed_tree(self.root)

    def test_test_mode_predicts_the_real_run(self):
        self.make_mixed_tree()
        before = self.snapshot()
        dry, rc = self.run_eolset("-t", "root")
        self.assertEqual(rc, 0)
        self.assertEqual(self.snapshot(), before)
        real, rc = self.run_eolset("root")
        self.assertEqual(rc, 0)
        self.assertEqual(dry.replace("would fix", "fixed"), real)
        # A second run finds nothing more to do.
        again, _ = self.run_eolset("-t", "root")
        self.assertNotIn("fix", again)
        after = self.snapshot()
        self.assertEqual(after["sub.txt"], b"plain")
        self.assertEqual(after["B.txt"], b"bom\n")
        self.assertEqual(after["nul.bin"], MIXED_TREE["nul.bin"])  # binary: left alone

    def test_walk_order_and_names(self):
        self.make_mixed_tree()
        out, _ = self.run_eolset("-w", "root")
        lines = out.splitlines()
        # empty.txt, sub.txt and the emoji file already are in windows form.
        expect = [self.shown(r) for r in (
            "a.txt", "B.txt", "sub/c.txt", "sub/deeper/d.txt",
            "z/\u03b1\u03b2\u03b3.txt", "z/\u6f22\u5b57.txt")]
        self.assertEqual(lines[:len(expect)], expect)
        self.assertEqual(lines[len(expect):], ["10 files processed", "1 binary files left alone",
                                               "fixed 8 line feeds and 1 BOMs in 6 files"])
        self.assertEqual(read(self.p("z/\u6f22\u5b57.txt")), b"cjk\r\n\r\n\r\n")

    def test_test_mode_predicts_a_file_reached_twice(self):
        write(self.p("a.txt"), b"a\r\nb\r\n")
        os.link(self.p("a.txt"), self.p("hard.txt"))
        os.makedirs(self.p("sub"))
        os.symlink("../a.txt", self.p("sub/soft.txt"))
        predicted, _ = self.run_eolset("-t", "-u", "root")
        done, _ = self.run_eolset("-u", "root")
        self.assertEqual(predicted, done.replace("fixed", "would fix"))
        self.assertEqual(done, "%s\n3 files processed\nfixed 2 line feeds and 0 BOMs in 1 files\n"
                         % self.shown("a.txt"))

    def test_preserve_time(self):
        write(self.p("a.txt"), b"a\r\n")
        write(self.p("b.txt"), b"b\r\n")
        old = 1_000_000_000
        # The Linux program gives back every nanosecond; Windows keeps 100 ns.
        exact = old * 10**9 + (123456700 if self.wine else 123456789)
        os.utime(self.p("a.txt"), ns=(exact, exact))
        os.utime(self.p("b.txt"), (old, old))
        self.run_eolset("-u", "-p", "root/a.txt")
        self.run_eolset("-u", "root/b.txt")
        self.assertEqual(read(self.p("a.txt")), b"a\n")
        self.assertEqual(os.stat(self.p("a.txt")).st_mtime_ns, exact)
        self.assertNotEqual(int(os.stat(self.p("b.txt")).st_mtime), old)

    def test_read_only_file(self):
        write(self.p("ro.txt"), b"a\r\n")
        write(self.p("rw.txt"), b"a\r\n")
        os.chmod(self.p("ro.txt"), 0o444)
        out, rc, err = self.run_full("-u", "root", caps_dropped=True)
        self.assertEqual(rc, 1)
        self.assertEqual(read(self.p("ro.txt")), b"a\r\n")
        self.assertEqual(read(self.p("rw.txt")), b"a\n")
        # Counted and named as not modified; "fixed" counts only what was written.
        self.assertEqual(out, "%s\n2 files processed\n1 files could not be modified\n"
                         "fixed 1 line feeds and 0 BOMs in 1 files\n" % self.shown("rw.txt"))
        self.assertEqual(err, 'ERROR: Cannot modify file "%s": access denied (error 5).\n'
                         % self.shown("ro.txt"))

    def test_unreadable_subfolder_does_not_end_the_walk(self):
        write(self.p("a/x.txt"), b"x\r\n")
        write(self.p("b/y.txt"), b"y\r\n")
        write(self.p("c/z.txt"), b"z\r\n")
        os.chmod(self.p("b"), 0)
        out, rc = self.run_eolset("-u", "root", caps_dropped=True)
        self.assertEqual(rc, 1)
        self.assertEqual(out, "%s\n%s\n2 files processed\nfixed 2 line feeds and 0 BOMs in 2 files\n"
                         "1 folders could not be read\n"
                         % (self.shown("a/x.txt"), self.shown("c/z.txt")))
        self.assertEqual(read(self.p("c/z.txt")), b"z\n")

    def test_unreadable_folder_is_named_on_standard_error(self):
        write(self.p("a/x.txt"), b"x\r\n")
        write(self.p("b/y.txt"), b"y\r\n")
        os.chmod(self.p("b"), 0)
        out, rc, err = run_program(self.program, self.wine, ["-t", "root"], self.tmp,
                                   caps_dropped=True, full=True)
        self.assertEqual(out, "1 files processed\n1 folders could not be read\n")
        self.assertEqual(err, 'ERROR: Cannot read folder "%s": access denied (error 5).\n'
                         % self.shown("b"))

    def test_symbolic_link_loop(self):
        write(self.p("a/x.txt"), b"x\r\n")
        write(self.p("a/sub/y.txt"), b"y\r\n")
        os.symlink("..", self.p("a/sub/up"))  # back to a, which is being walked
        out, rc = self.run_eolset("-u", "root")
        self.assertEqual(rc, 0)
        self.assertEqual(out, "%s\n%s\n2 files processed\nfixed 2 line feeds and 0 BOMs in 2 files\n"
                         % (self.shown("a/sub/y.txt"), self.shown("a/x.txt")))

    def test_many_files(self):
        for i in range(20000):
            write(self.p("many/f%05d.txt" % i), b"l\r\n" if i % 2 else b"l\n")
        out, rc = self.run_eolset("-u", "root")
        self.assertEqual(rc, 0)
        self.assertTrue(out.endswith("20000 files processed\nfixed 10000 line feeds and 0 BOMs in 10000 files\n"))
        self.assertEqual(out.count("\n"), 10002)
        self.assertEqual(read(self.p("many/f00001.txt")), b"l\n")


class HelpPromises(Tree):
    def test_single_file(self):
        write(self.p("one.txt"), b"a\r\n")
        write(self.p("two.txt"), b"b\r\n")
        out, rc = self.run_eolset("-u", "root/one.txt")
        self.assertEqual(out, "%s\n1 files processed\nfixed 1 line feeds and 0 BOMs in 1 files\n"
                         % self.shown("one.txt", "root/one.txt"))
        self.assertEqual(read(self.p("two.txt")), b"b\r\n")

    def test_wildcard_folder(self):
        write(self.p("source/a.cpp"), b"a\r\n")
        write(self.p("source/b.h"), b"b\r\n")
        write(self.p("source/sub/c.cpp"), b"c\r\n")
        out, rc = run_program(self.program, self.wine, ["-u", "source/*.cpp"], self.root)
        self.assertEqual(rc, 0)
        self.assertEqual(out, "%s\n1 files processed\nfixed 1 line feeds and 0 BOMs in 1 files\n"
                         % self.shown("source/a.cpp", "source/a.cpp"))
        self.assertEqual(read(self.p("source/b.h")), b"b\r\n")
        self.assertEqual(read(self.p("source/sub/c.cpp")), b"c\r\n")

    def test_wildcards_only_after_the_root(self):
        write(self.p("source/a.cpp"), b"a\r\n")
        write(self.p("source/b.h"), b"b\r\n")
        one = "%s\n1 files processed\nfixed 1 line feeds and 0 BOMs in 1 files\n"
        # The "?" of \\?\ is part of the root, not a wildcard.
        long_form = "\\\\?\\" + win(self.p("source"))
        sep = "\\" if self.wine else "/"
        out, rc = self.run_eolset("-u", long_form + "\\*.cpp")
        self.assertEqual(out, one % (long_form + "\\a.cpp"))
        out, rc = self.run_eolset("-t", "-u", long_form)
        self.assertEqual(out, "%s%sb.h\n2 files processed\nwould fix 1 line feeds and 0 BOMs in 1 files\n"
                         % (long_form, sep))
        # Z:*.h is the current folder of Z: with the filter +*.h.
        out, rc = run_program(self.program, self.wine, ["-u", "Z:*.h"], self.p("source"))
        self.assertEqual(out, one % self.shown("source/b.h", "Z:/b.h"))

    def test_filter_example(self):
        for rel in ("a.cpp", "x.sh", "run.sh", "samples/s.cpp", "lib/l.cpp", "lib/l.h",
                    "tools.sh/t.cpp"):
            write(self.p("source/" + rel), b"x\n")
        out, rc = run_program(self.program, self.wine,
                              ["-w", "source", "-**.sh", "+**.cpp", "-samples/**"], self.root)
        self.assertEqual(rc, 0)
        changed = [l for l in out.splitlines() if l.startswith(("Z:", "source"))]
        # A leading "-" filter starts from "everything selected"; the later
        # +**.cpp also reaches inside a folder whose name ends in .sh.
        self.assertEqual(changed, [self.shown("source/" + r, "source/" + r) for r in
                                   ("a.cpp", "lib/l.cpp", "lib/l.h", "tools.sh/t.cpp")])
        self.assertEqual(read(self.p("source/samples/s.cpp")), b"x\n")
        self.assertEqual(read(self.p("source/x.sh")), b"x\n")


def crlf_lines(n, tag=b"line"):
    return b"".join(tag + b" %d of the text\r\n" % i for i in range(n))


class LeftAloneByDefault(Tree):
    """What is plainly not text, and a version-control system's own data."""

    def make_tree(self):
        import gzip
        write(self.p("a.txt"), b"a\r\nb\r\n")
        write(self.p("doc.gz"), gzip.compress(b"line\n" * 1000 + b"\r\n" * 500, mtime=0))
        shutil.copyfile(self.program, self.p("program.bin"))  # ELF or PE
        write(self.p("image.png"), b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + b"\n\r\n" * 50)
        write(self.p("utf16.txt"), "text\r\nmore\n".encode("utf-16"))
        repo = self.p("repo")
        write(os.path.join(repo, "r.txt"), b"r\r\n")
        git = ["git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t",
               "-c", "core.autocrlf=false"]
        for step in (["init", "-q"], ["add", "r.txt"], ["commit", "-q", "-m", "one\r\n"]):
            subprocess.run(git + step, check=True, stdout=subprocess.DEVNULL)
        return git

    def test_binary_files_and_git_folders(self):
        git = self.make_tree()
        before = self.snapshot()
        out, rc, err = self.run_full("-t", "-u", "root")
        done, rc2, err2 = self.run_full("-u", "root")
        self.assertEqual((rc, rc2, err, err2), (0, 0, "", ""))
        self.assertEqual(out.replace("would fix", "fixed"), done)
        self.assertEqual(done, "%s\n%s\n6 files processed\n4 binary files left alone\n"
                         "fixed 3 line feeds and 0 BOMs in 2 files\n"
                         % (self.shown("a.txt"), self.shown("repo/r.txt")))
        after = self.snapshot()
        for rel, data in before.items():
            if rel not in ("a.txt", os.path.join("repo", "r.txt")):
                self.assertEqual(after[rel], data, rel)
        subprocess.run(git + ["fsck", "--strict"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Given as the folder, a version-control folder is walked; -f walks
        # into them and converts binary files too.
        out, rc = self.run_eolset("-t", "-w", "root/repo/.git")
        self.assertIn("would fix", out)
        out, rc = self.run_eolset("-t", "-w", "-f", "root")
        self.assertNotIn("binary", out)
        self.assertIn(self.shown("image.png") + "\n", out)
        self.assertIn(self.shown("repo/.git/config") + "\n", out)


# Names for generated repositories: spaces, brackets, unicode, a dot file.
REPO_FOLDERS = ["a", "build", "src", "doc s", "x[1]", "\u00fc", "Ab", "vendor"]
REPO_FILES = ["f.txt", "g.c", "h.o", "Makefile", "read me.md", "[x].txt", "\u00fc.txt", "t.bat",
              "p.png", "keep.o", "#h", "!b", "x.tar.gz", ".hidden", "F.TXT", "n.md"]
# Line pieces drawn from gitignore(5) and gitattributes(5).
IGNORE_LINES = ["*.o", "!keep.o", "build/", "/build", "doc s/", "**/a", "a/**", "src/*.c", "*.[oc]",
                "[!a]*.txt", "?.md", "\\#h", "\\!b", "a/**/f.txt", "x[[]1]/", "\u00fc*", "*.TXT",
                "f.txt   ", "n.md\\ ", "# comment", "", "*", "!*/", "!f.txt", "vendor", "/*.md",
                "Ab/", "**/build/**", "x.tar.*", "*.gz", "[[:upper:]]*", "!src/", "src", "a/*",
                "!.hidden", ".hidden", "*~", "\\[x].txt", "read\\ me.md", "**"]
ATTR_PATTERNS = ["*", "*.bat", "*.png", "*.txt", "src/**", "**/a/*", "vendor/** ", "*.[ch]",
                 "\"read me.md\"", "doc\\ s/*", "/*.md", "a/", "F.TXT", "[!x]*", "x.tar.gz",
                 "**/*.o", "\u00fc.txt"]
ATTR_STATES = ["text", "-text", "text=auto", "eol=lf", "eol=crlf", "binary", "!eol", "-eol",
               "!text", "crlfish", "eol=lf text", "-binary", "text=auto eol=crlf"]


def git_env(home):
    env = dict(os.environ)
    # Wine keeps its prefix (and its running session) where it was.
    env.setdefault("WINEPREFIX", os.path.join(os.path.expanduser("~"), ".wine"))
    env.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                "GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.path.join(home, ".gitconfig")})
    return env


class FollowsRepository(Tree):
    """-e: what .gitignore and .gitattributes declare, as git itself decides."""

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)
        self.saved_env = dict(os.environ)
        os.environ.update(git_env(self.home))

    def tearDown(self):
        os.environ.clear()
        os.environ.update(self.saved_env)
        super().tearDown()

    def git(self, repo, *args, stdin=None):
        return subprocess.run(["git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t"]
                              + list(args), input=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, check=True).stdout

    def make_repo(self, rnd, repo):
        subprocess.run(["git", "init", "-q", repo], check=True)
        folders = [""]
        for _ in range(rnd.randint(2, 6)):
            parent = rnd.choice(folders)
            if parent.count("/") < 3:
                folders.append(parent + rnd.choice(REPO_FOLDERS) + "/")
        for _ in range(rnd.randint(12, 30)):
            write(os.path.join(repo, rnd.choice(folders) + rnd.choice(REPO_FILES)), b"x\r\ny\nz")
        macro = "[attr]crlfish text eol=crlf\n" if rnd.random() < 0.7 else ""
        for folder in sorted(set(rnd.choice(folders) for _ in range(rnd.randint(1, 4)))):
            lines = [rnd.choice(IGNORE_LINES) for _ in range(rnd.randint(1, 8))]
            end = "\r\n" if rnd.random() < 0.2 else "\n"
            write(os.path.join(repo, folder, ".gitignore"), end.join(lines).encode() + b"\n")
        for folder in sorted(set(rnd.choice(folders) for _ in range(rnd.randint(1, 4)))):
            lines = ["%s %s" % (rnd.choice(ATTR_PATTERNS), rnd.choice(ATTR_STATES))
                     for _ in range(rnd.randint(1, 7))]
            write(os.path.join(repo, folder, ".gitattributes"),
                  ((macro if folder == "" else "") + "\n".join(lines) + "\n").encode())
        if rnd.random() < 0.3:
            write(os.path.join(repo, ".git", "info", "exclude"),
                  (rnd.choice(IGNORE_LINES) + "\n").encode())
        if rnd.random() < 0.3:
            write(os.path.join(repo, ".git", "info", "attributes"),
                  ("%s %s\n" % (rnd.choice(ATTR_PATTERNS), rnd.choice(ATTR_STATES))).encode())
        if rnd.random() < 0.25:
            self.git(repo, "config", "core.ignorecase", "true")
        # A repository nested in a folder (a clone inside the tree): inside
        # it only its own files apply.
        inner = [f for f in folders if f]
        if inner and rnd.random() < 0.4:
            nested = os.path.join(repo, rnd.choice(inner))
            subprocess.run(["git", "init", "-q", nested], check=True)
            write(os.path.join(nested, ".gitattributes"),
                  ("%s %s\n" % (rnd.choice(ATTR_PATTERNS), rnd.choice(ATTR_STATES))).encode())
            write(os.path.join(nested, ".gitignore"), (rnd.choice(IGNORE_LINES) + "\n").encode())
        if rnd.random() < 0.2:
            write(os.path.join(self.home, ".config", "git", "ignore"), b"*.md\n")
        else:
            shutil.rmtree(os.path.join(self.home, ".config"), ignore_errors=True)

    def expected(self, repo):
        """Each file's bytes after `eolset -e -u` and `-e -w`, as git decides;
        the files of a nested repository as it decides, unless the outer one
        ignores the folder it is in."""
        nested = [d for d, dirs, _ in os.walk(repo) if d != repo and ".git" in dirs]
        if not nested:
            return self.decided(repo, repo)
        inner = nested[0]
        outer = self.decided(repo, repo, skip=inner)
        listing = os.path.relpath(inner, repo).encode() + b"\0"
        gone = subprocess.run(["git", "-C", repo, "check-ignore", "--no-index", "-z", "--stdin"],
                              input=listing, stdout=subprocess.PIPE, check=False).stdout
        for rel, forms in self.decided(inner, inner).items():
            full = os.path.relpath(os.path.join(inner, rel), repo)
            outer[full] = (b"x\r\ny\nz",) * 2 if gone else forms
        return outer

    def decided(self, repo, top, skip=None):
        paths = []
        for dirpath, dirnames, filenames in os.walk(top):
            dirnames[:] = [d for d in dirnames
                           if d != ".git" and os.path.join(dirpath, d) != skip]
            paths += [os.path.relpath(os.path.join(dirpath, n), repo) for n in filenames]
        listing = b"".join(p.encode() + b"\0" for p in paths)
        # Status 1: nothing is ignored.
        ignored = set(subprocess.run(["git", "-C", repo, "check-ignore", "--no-index", "-z",
                                      "--stdin"], input=listing, stdout=subprocess.PIPE,
                                     check=False).stdout.split(b"\0"))
        check = subprocess.run(["git", "-C", repo, "check-attr", "-z", "--stdin", "eol", "text"],
                               input=listing, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               check=False).stdout
        fields = check.split(b"\0")
        attrs = {}
        for i in range(0, len(fields) - 2, 3):
            attrs.setdefault(fields[i], {})[fields[i + 1]] = fields[i + 2]
        want = {}
        for rel in paths:
            key = rel.encode()
            a = attrs.get(key, {})
            orig = b"x\r\ny\nz" if "/.git" not in rel else None
            if key in ignored or a.get(b"text") == b"unset":
                want[rel] = (orig, orig)
            elif a.get(b"eol") in (b"lf", b"crlf"):
                form = b"x\ny\nz" if a[b"eol"] == b"lf" else b"x\r\ny\r\nz"
                want[rel] = (form, form)
            else:
                want[rel] = (b"x\ny\nz", b"x\r\ny\r\nz")
        return want

    def test_generated_repositories_as_git_decides(self):
        rnd = random.Random(int(os.environ.get("EOLSET_E2E_SEED", "35")))
        rounds = 6 if self.wine else 40
        checked = 0
        for r in range(rounds):
            repo = os.path.join(self.tmp, "repo%d" % r)
            self.make_repo(rnd, repo)
            # Rules files are data like any other: they are given mixed line ends too.
            for dirpath, dirnames, filenames in os.walk(repo):
                dirnames[:] = [d for d in dirnames if d != ".git"]
                for n in filenames:
                    if n in (".gitignore", ".gitattributes"):
                        data = read(os.path.join(dirpath, n))
                        if b"\r\n" not in data:
                            write(os.path.join(dirpath, n), data.replace(b"\n", b"\r\n", 1))
            want = self.expected(repo)
            for k, mode in enumerate(("-u", "-w")):
                copy = repo + mode
                shutil.copytree(repo, copy, symlinks=True)
                out, rc, err = self.run_full("-e", mode, copy)
                self.assertEqual((rc, err), (0, ""), out)
                wrong = []
                for rel, forms in want.items():
                    if os.path.basename(rel) in (".gitignore", ".gitattributes"):
                        continue  # their own bytes are checked by git's answers above
                    got = read(os.path.join(copy, rel))
                    if got != forms[k]:
                        wrong.append((rel, got, forms[k]))
                    checked += 1
                rules = {rel: read(os.path.join(repo, rel)) for rel in want
                         if os.path.basename(rel) in (".gitignore", ".gitattributes")}
                if wrong and os.environ.get("EOLSET_E2E_KEEP"):
                    shutil.copytree(repo, os.environ["EOLSET_E2E_KEEP"] + "/repo%d" % r, symlinks=True)
                self.assertEqual(wrong, [], "repo%d %s; rules: %r" % (r, mode, rules))
        if os.environ.get("EOLSET_E2E_SEED"):
            print("paths checked:", checked)
        self.assertGreater(checked, 300 if not self.wine else 40)

    def test_unreadable_rules_leave_their_folder_alone(self):
        repo = self.make_example()
        write(self.p("sub/.gitattributes"), b"*.txt eol=crlf\n")
        write(self.p("sub/x.txt"), b"x\n")
        write(self.p("sub/deeper/y.txt"), b"y\r\n")
        os.chmod(self.p("sub/.gitattributes"), 0)
        out, rc, err = self.run_full("-e", "root", caps_dropped=True)
        self.assertEqual(rc, 1)
        shown = win(self.p("sub/.gitattributes")) if self.wine else "root/sub/.gitattributes"
        self.assertEqual(err, 'ERROR: Cannot read "%s": access denied (error 5).\n' % shown)
        # What those rules would decide is unknown: the folder is left as it was.
        self.assertEqual((read(self.p("sub/x.txt")), read(self.p("sub/deeper/y.txt"))),
                         (b"x\n", b"y\r\n"))
        self.assertEqual(read(self.p("src/main.c")), b"int main;\n")

    def test_editorconfig_example(self):
        write(self.p(".editorconfig"), b"root = true\n[*]\nend_of_line = lf\n"
              b"[*.{cmd,bat}]\nend_of_line = crlf\n[*.ps1]\ncharset = utf-8-bom\n"
              b"[*.mac]\nend_of_line = cr\n")
        bom = b"\xef\xbb\xbf"
        write(self.p("run.bat"), b"echo\necho\r\n")
        write(self.p("tools/make.cmd"), b"a\nb\n")
        write(self.p("tools/script.ps1"), bom + b"one\r\n" + bom + b"two\r\n")
        write(self.p("readme.md"), b"text\r\n")
        write(self.p("old.mac"), b"m\r\n")
        # Outside a work tree .editorconfig alone applies.
        out, rc, err = self.run_full("-e", "root")
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, 'WARNING: "%s": .editorconfig asks for CR line ends, which eolset '
                         'does not write; left alone.\n' % self.shown("old.mac"))
        self.assertEqual({rel: read(self.p(rel)) for rel in
                          ("run.bat", "tools/make.cmd", "tools/script.ps1", "readme.md", "old.mac")},
                         {"run.bat": b"echo\r\necho\r\n", "tools/make.cmd": b"a\r\nb\r\n",
                          "tools/script.ps1": bom + b"one\ntwo\n", "readme.md": b"text\n",
                          "old.mac": b"m\r\n"})
        out, rc, err = self.run_full("-c", "-e", "root")
        self.assertEqual((out, rc), ("", 0))
        # In a work tree .gitattributes comes first, and the disagreement is named once.
        subprocess.run(["git", "init", "-q", self.root], check=True)
        write(self.p(".gitattributes"), b"*.cmd eol=lf\n")
        out, rc, err = self.run_full("-e", "root")
        self.assertEqual(rc, 0)
        self.assertIn('WARNING: "%s": .gitattributes asks for LF line ends and .editorconfig '
                      'for CR LF; it gets LF.\n' % self.shown("tools/make.cmd"), err)
        self.assertEqual(read(self.p("tools/make.cmd")), b"a\nb\n")

    def make_example(self):
        repo = self.root
        subprocess.run(["git", "init", "-q", repo], check=True)
        write(self.p(".gitattributes"), b"* text=auto eol=lf\n*.bat eol=crlf\n*.png binary\n")
        write(self.p(".gitignore"), b"build/\n*.log\n")
        write(self.p("src/main.c"), b"int main;\n")
        write(self.p("run.bat"), b"echo\r\n")
        write(self.p("logo.png"), b"\x89PNG\r\n\x1a\n" + b"a\r\n" * 20)
        self.git(repo, "add", "-A")
        self.git(repo, "commit", "-q", "-m", "one")
        # The working tree drifts: an editor saved CR LF, another LF.
        write(self.p("src/main.c"), b"int main;\r\n")
        write(self.p("run.bat"), b"echo\n")
        write(self.p("logo.png"), b"\x89PNG\r\n\x1a\n" + b"b\r\n" * 20)
        write(self.p("build/out.txt"), b"built\r\n")
        write(self.p("trace.log"), b"log\r\n")
        return repo

    def test_example_repository(self):
        repo = self.make_example()
        ignored_before = {rel: read(self.p(rel)) for rel in ("build/out.txt", "trace.log", "logo.png")}
        out, rc, err = self.run_full("-c", "-e", "root")
        self.assertEqual((rc, err), (1, ""))
        self.assertEqual(out, "%s\n%s\n" % (self.shown("run.bat"), self.shown("src/main.c")))
        out, rc, err = self.run_full("-e", "-f", "root")
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("1 binary files left alone\n", out)
        self.assertIn("fixed 2 line feeds and 0 BOMs in 2 files\n", out)
        for rel, data in ignored_before.items():
            self.assertEqual(read(self.p(rel)), data, rel)
        self.assertEqual(read(self.p("run.bat")), b"echo\r\n")
        self.assertEqual(read(self.p("src/main.c")), b"int main;\n")
        status = self.git(repo, "status", "--porcelain").decode()
        self.assertEqual(status, " M logo.png\n")
        self.assertEqual(self.git(repo, "diff", "--ignore-cr-at-eol", "--", "src", "run.bat"), b"")
        add = subprocess.run(["git", "-C", repo, "add", "-A"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.assertEqual((add.returncode, add.stderr), (0, b""))
        out, rc, err = self.run_full("-c", "-e", "root")
        self.assertEqual((out, rc, err), ("", 0, ""))
        # A subfolder, a single file and an ignored folder given as the
        # folder: the same rules from the top of the work tree.
        write(self.p("src/main.c"), b"int main;\r\n")
        out, rc = self.run_eolset("-c", "-e", "root/src")
        self.assertEqual((out, rc), (self.shown("src/main.c") + "\n", 1))
        out, rc = self.run_eolset("-c", "-e", "root/src/main.c", "root/build/out.txt")
        self.assertEqual(rc, 1)
        self.assertNotIn("out.txt", out)
        out, rc = self.run_eolset("-c", "-e", "root/build")
        self.assertEqual((out, rc), ("", 0))
        # Outside a work tree -e changes nothing.
        shutil.rmtree(self.p(".git"))
        out, rc = self.run_eolset("-t", "-u", "-e", "root")
        self.assertIn(self.shown("build/out.txt"), out)


class Safety(Tree):
    """Every file ends exactly as it was or fully converted."""

    def test_interrupt_finishes_the_file_in_hand(self):
        original = crlf_lines(40000)  # about 1 MiB each
        names = ["f%03d.txt" % i for i in range(60)]
        for n in names:
            write(self.p(n), original)
        cmd = command(self.program, self.wine, ["-u", "root"])
        # Unbuffered: the names may come several to a write, and communicate()
        # reads past what a buffered readline kept.
        proc = subprocess.Popen(cmd, cwd=self.tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                bufsize=0)
        first = proc.stdout.readline()
        self.assertTrue(first.startswith(b"Z:" if self.wine else b"root/"), first)
        proc.send_signal(signal.SIGINT)
        proc.send_signal(signal.SIGINT)  # a second one still waits for the file in hand
        rest, err = proc.communicate(timeout=600)
        out = (first + rest).decode()
        self.assertEqual(err, b"interrupted\n")
        converted = original.replace(b"\r\n", b"\n")
        done = 0
        for n in names:
            data = read(self.p(n))
            self.assertIn(data, (original, converted), n)
            done += data == converted
        self.assertLess(done, len(names), "the walk stopped early")
        lines = out.splitlines()
        self.assertEqual(len(lines), done + 2, out)  # the paths, processed, fixed
        self.assertEqual(lines[-2], "%d files processed" % done)
        if self.wine:
            self.assertEqual(proc.returncode, 0xC000013A & 0xFF)
        else:
            self.assertEqual(proc.returncode, 130)

    def test_closed_standard_output(self):
        if self.wine:
            self.skipTest("the closed descriptor is the Linux program's case")
        write(self.p("a.txt"), b"a\r\nb\r\n")
        write(self.p("b.txt"), b"c\r\n")
        p = subprocess.run(command(self.program, False, ["-u", "root"]), cwd=self.tmp,
                           preexec_fn=lambda: os.close(1), stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(p.returncode, 0)
        self.assertEqual(read(self.p("a.txt")), b"a\nb\n")
        self.assertEqual(read(self.p("b.txt")), b"c\n")

    def test_appending_process_loses_nothing(self):
        if self.wine:
            self.skipTest("Wine takes no advisory lock for another process to wait on")
        path = self.p("log.txt")
        write(path, crlf_lines(400000))  # about 9 MiB
        stop = threading.Event()
        appended = []

        def appender():
            i = 0
            while not stop.is_set():
                with open(path, "ab") as f:
                    fcntl.flock(f, fcntl.LOCK_EX)  # a cooperating writer
                    line = b"appended %d\n" % i
                    f.write(line)
                    appended.append(line)
                i += 1
                time.sleep(0.001)

        t = threading.Thread(target=appender)
        t.start()
        try:
            for flags in ("-u", "-w", "-u"):
                self.run_eolset(flags, "root")
        finally:
            stop.set()
            t.join()
        data = read(path)
        for line in appended:
            self.assertEqual(data.count(line.rstrip(b"\n") + b"\n") +
                             data.count(line.rstrip(b"\n") + b"\r\n"), 1, line)

    def test_full_file_system(self):
        mnt = os.path.join(self.tmp, "small")
        os.makedirs(mnt)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", mnt],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("no permission to mount a small file system")
        try:
            text = b"".join(b"%d\n" % i for i in range(150000))  # about 1 MiB, grows by 150,000
            write(os.path.join(mnt, "big.txt"), text)
            write(os.path.join(mnt, "filler"), b"\0" * (2 * 1024 * 1024 - len(text) - 80 * 1024))
            out, _ = run_program(self.program, self.wine, ["-w", "small"], self.tmp)
            self.assertEqual(read(os.path.join(mnt, "big.txt")), text)
            self.assertIn("1 files could not be modified\n", out)
            # With room, the same file converts.
            os.remove(os.path.join(mnt, "filler"))
            run_program(self.program, self.wine, ["-w", "small"], self.tmp)
            self.assertEqual(read(os.path.join(mnt, "big.txt")), text.replace(b"\n", b"\r\n"))
        finally:
            subprocess.run(["umount", mnt])


def journals(wine):
    """The journals the program keeps: the Linux program's in $XDG_STATE_HOME,
    the Windows one's in the Wine prefix's %LOCALAPPDATA%."""
    if wine:
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        pattern = os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "eolset", "*")
    else:
        pattern = os.path.join(os.environ["XDG_STATE_HOME"], "eolset", "*")
    return [p for p in glob.glob(pattern) if p.endswith(".eolset-journal")]


def lf_lines(n):
    return b"".join(b"line %d of the text\n" % i for i in range(n))


class KilledAnywhere(Tree):
    """A kill at any instant leaves every file whole: after the next run's
    look at the journals, each file is its original or its new text."""

    def kill_many(self, flags, files, rounds, extra=()):
        cmd = command(self.program, self.wine, [flags, *extra, "root"])
        os.makedirs(os.path.join(self.tmp, "empty"), exist_ok=True)
        rng = random.Random(len(files) * 1000 + rounds)

        def put():
            for name, (original, _) in files.items():
                write(self.p(name), original)

        put()
        t0 = time.perf_counter()
        subprocess.run(cmd, cwd=self.tmp, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        whole = time.perf_counter() - t0
        finished = 0
        for i in range(rounds):
            put()
            proc = subprocess.Popen(cmd, cwd=self.tmp, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(whole * 0.25, whole))
            proc.kill()
            proc.wait()
            # A run over an empty folder only finishes what the journals hold.
            out, status, err = self.run_full(flags, "empty")
            self.assertEqual(status, 0, err)
            for name, (original, converted) in files.items():
                data = read(self.p(name))
                self.assertIn(data, (original, converted), "%s after kill %d" % (name, i))
            self.assertEqual(journals(self.wine), [], "kill %d" % i)
            finished += err.startswith("Finished the interrupted rewrite")
        return finished

    def test_kill_during_rewrites(self):
        rounds = 12 if self.wine else 70
        # About 3 MiB, several windows; under Wine ten times that, for the
        # rewrite to take a good part of a run that Wine's start dwarfs.
        lines = 1200000 if self.wine else 120000
        big = crlf_lines(lines)
        grow = lf_lines(lines)
        tree = {"t%d.txt" % i: (crlf_lines(20000 + i), crlf_lines(20000 + i).replace(b"\r\n", b"\n"))
                for i in range(6)}
        finished = self.kill_many("-u", {"big.txt": (big, big.replace(b"\r\n", b"\n"))}, rounds)
        finished += self.kill_many("-w", {"big.txt": (grow, grow.replace(b"\n", b"\r\n"))}, rounds)
        finished += self.kill_many("-u", tree, rounds)
        # A NUL in the last window makes the file binary: it is judged whole
        # before anything is written, so no kill ever finds it changed.
        late = big + b"\0" + crlf_lines(100)
        for flags, text in (("-u", (big, big.replace(b"\r\n", b"\n"))),
                            ("-w", (grow, grow.replace(b"\n", b"\r\n")))):
            self.kill_many(flags, {"a.txt": text, "late_nul.txt": (late, late)}, rounds // 2)
        # .editorconfig keeps the mark that starts a .ps1 file, and only that
        # one; the next run (without -e) finishes a rewrite alike.
        # With -w the file grows and its first window is written last.
        bom = b"\xef\xbb\xbf"
        marks = 0
        ec = b"root = true\n[*.ps1]\ncharset = utf-8-bom\n"
        for flags, text, new in (("-u", big, lambda t: t.replace(b"\r\n", b"\n")),
                                 ("-w", grow, lambda t: t.replace(b"\n", b"\r\n"))):
            third = len(text) // 3
            marked = bom + text[:third] + bom + text[third:] + bom
            marks += self.kill_many(flags, {".editorconfig": (ec, new(ec)),
                                   "s.ps1": (marked, bom + new(text)),
                                   "s.txt": (marked, new(text))}, 3 if self.wine else rounds // 2,
                           extra=["-e"])
        print("\n  %d of %d kills came during a rewrite, %d during one that keeps a mark"
              % (finished, 3 * rounds, marks), file=sys.stderr)
        if not self.wine:  # under Wine the moments are too coarse to promise one
            self.assertGreater(finished, 0, "no kill came during a rewrite")

    def test_a_second_run_leaves_a_live_runs_journals_alone(self):
        """While one run converts a tree, others finish only what no running
        program holds: the first run's journals and its reusable spare
        survive them, so its kill afterwards is still recovered."""
        rounds = 2 if self.wine else 12
        files = {"t%02d.txt" % i: crlf_lines(6000 + i) for i in range(30 if self.wine else 60)}
        cmd = command(self.program, self.wine, ["-u", "-j1", "root"])
        os.makedirs(os.path.join(self.tmp, "empty"), exist_ok=True)
        for i in range(rounds):
            for name, data in files.items():
                write(self.p(name), data)
            proc = subprocess.Popen(cmd, cwd=self.tmp, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            for _ in range(4):
                if proc.poll() is not None:
                    break
                out, status, err = self.run_full("-u", "empty")
                self.assertEqual((status, err), (0, ""), "second run in round %d" % i)
            proc.kill()
            proc.wait()
            out, status, err = self.run_full("-u", "empty")
            self.assertEqual(status, 0, err)
            for name, data in files.items():
                self.assertIn(read(self.p(name)), (data, data.replace(b"\r\n", b"\n")),
                              "%s in round %d" % (name, i))
            self.assertEqual(journals(self.wine), [], "round %d" % i)

    def test_every_ending_signal_is_an_interrupt(self):
        if self.wine:
            self.skipTest("the Linux program's signals")
        original = crlf_lines(40000)
        converted = original.replace(b"\r\n", b"\n")
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                    signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF, signal.SIGXCPU,
                    signal.SIGPIPE):
            names = ["f%02d.txt" % i for i in range(12)]
            for n in names:
                write(self.p(n), original)
            proc = subprocess.Popen(command(self.program, False, ["-u", "root"]), cwd=self.tmp,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
            first = proc.stdout.readline()
            self.assertTrue(first.startswith(b"root/"), first)
            proc.send_signal(sig)
            _, err = proc.communicate(timeout=600)
            self.assertEqual(err, b"interrupted\n", sig)
            self.assertEqual(proc.returncode, 128 + sig, sig)
            for n in names:
                self.assertIn(read(self.p(n)), (original, converted), (sig, n))

    def test_file_size_limit_fails_only_that_file(self):
        if self.wine:
            self.skipTest("the Linux program's file size limit")
        small = lf_lines(100)
        big = lf_lines(60000)  # about 1.2 MiB, grows past the limit
        write(self.p("a_big.txt"), big)
        write(self.p("b_small.txt"), small)
        limit = len(big) + 1000

        def cap():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        p = subprocess.run(command(self.program, False, ["-w", "root"]), cwd=self.tmp,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=cap,
                           timeout=600)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIn(b"1 files could not be modified\n", p.stdout)
        self.assertEqual(read(self.p("a_big.txt")), big)
        self.assertEqual(read(self.p("b_small.txt")), small.replace(b"\n", b"\r\n"))
        self.assertEqual(p.stderr, b'ERROR: Cannot modify file "root/a_big.txt": system error '
                                   b'(error 112).\n')
        self.assertEqual(journals(False), [])


NOBODY = 65534
AS_NOBODY = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "--"]


class JournalHome(Tree):
    """Where an ordinary user's journals go when the home folder is no place
    for them: the temporary folder's private one, or $EOLSET_STATE_DIR; and
    what a run says when no place will do."""

    def setUp(self):
        super().setUp()
        if self.wine:
            return
        if os.geteuid() != 0:
            self.skipTest("needs root to become another user")
        os.chmod(self.tmp, 0o755)
        self.temp = os.path.join(self.tmp, "t")
        os.makedirs(self.temp)
        os.chmod(self.temp, 0o1777)
        self.private = os.path.join(self.temp, "eolset-%d" % NOBODY)

    def env(self, **extra):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMPDIR": self.temp}
        env.update({k: v for k, v in extra.items() if v is not None})
        return env

    def as_nobody(self, args, env):
        p = subprocess.run(AS_NOBODY + [self.program] + list(args), cwd=self.tmp, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        return p.stdout.decode(), p.returncode, p.stderr.decode()

    def give_tree(self, files):
        for name, data in files.items():
            write(self.p(name), data)
        for dirpath, dirnames, filenames in os.walk(self.root):
            for n in dirnames + filenames + ["."]:
                os.chown(os.path.join(dirpath, n), NOBODY, NOBODY)

    def journals_in(self, folder):
        names = os.listdir(folder) if os.path.isdir(folder) else []
        return [n for n in names if n.endswith(".eolset-journal")]

    def test_ordinary_user_without_a_usable_home_converts(self):
        if self.wine:
            self.skipTest("the Linux program's users")
        alice = os.path.join(self.tmp, "alice")
        os.makedirs(os.path.join(alice, ".local", "state", "eolset"))
        for dirpath, _, _ in os.walk(alice):
            os.chown(dirpath, 1001, 1001)
        os.chmod(os.path.join(alice, ".local", "state", "eolset"), 0o700)
        files = {"a.txt": b"a\r\nb\r\n", "sub/b.txt": crlf_lines(3000)}
        for home in (None, "/", alice):
            self.give_tree(files)
            shutil.rmtree(self.private, ignore_errors=True)
            out, status, err = self.as_nobody(["-u", "root"], self.env(HOME=home))
            self.assertEqual((status, err), (0, ""), home)
            self.assertEqual(out, "root/a.txt\nroot/sub/b.txt\n2 files processed\n"
                             "fixed 3002 line feeds and 0 BOMs in 2 files\n", home)
            for name, data in files.items():
                self.assertEqual(read(self.p(name)), data.replace(b"\r\n", b"\n"), (home, name))
            st = os.lstat(self.private)
            self.assertEqual((stat.S_ISDIR(st.st_mode), st.st_mode & 0o777, st.st_uid),
                             (True, 0o700, NOBODY), home)

    def test_kill_then_run_recovers_from_where_the_journals_went(self):
        if self.wine:
            self.skipTest("the Linux program's users")
        big = crlf_lines(150000)
        want = big.replace(b"\r\n", b"\n")
        cache = os.path.join(self.tmp, "cache")
        os.makedirs(cache)
        os.chown(cache, NOBODY, NOBODY)
        set_dir = os.path.join(cache, "journals")
        rng = random.Random(32)
        cut_short = 0
        for env, folder in ((self.env(HOME="/"), self.private),
                            (self.env(HOME="/", EOLSET_STATE_DIR=set_dir), set_dir)):
            self.give_tree({"big.txt": big})
            t0 = time.perf_counter()
            self.as_nobody(["-u", "root"], env)
            whole = time.perf_counter() - t0
            for i in range(8):
                self.give_tree({"big.txt": big})
                proc = subprocess.Popen(AS_NOBODY + [self.program, "-u", "root"], cwd=self.tmp,
                                        env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
                time.sleep(rng.uniform(whole * 0.25, whole))
                proc.kill()
                proc.wait()
                cut_short += len(self.journals_in(folder))
                out, status, err = self.as_nobody(["-u", "root"], env)
                self.assertEqual(status, 0, err)
                self.assertEqual(read(self.p("big.txt")), want, "%s after kill %d" % (folder, i))
                self.assertEqual(self.journals_in(folder), [], "%s after kill %d" % (folder, i))
        print("\n  %d of 16 kills left a journal" % cut_short, file=sys.stderr)

    def test_windows_program_falls_back_to_temp_and_takes_the_override(self):
        """Under Wine: with the state folder's name taken by a file, the
        journals go to %TEMP%\\eolset; $EOLSET_STATE_DIR comes first."""
        if not self.wine:
            self.skipTest("the Windows program's folders")
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        user = os.path.join(prefix, "drive_c", "users", pwd.getpwuid(os.geteuid()).pw_name)
        state = os.path.join(user, "AppData", "Local", "eolset")
        temps = [os.path.join(user, "Temp", "eolset"),
                 os.path.join(user, "AppData", "Local", "Temp", "eolset")]
        files = {"a.txt": b"a\r\n", "b.txt": crlf_lines(100)}
        aside = state + ".aside"
        if os.path.lexists(state):
            os.rename(state, aside)
        try:
            write(state, b"a file where the folder would go")
            for t in temps:
                shutil.rmtree(t, ignore_errors=True)
            for name, data in files.items():
                write(self.p(name), data)
            out, status, err = self.run_full("-u", "root")
            self.assertEqual((status, err), (0, ""))
            self.assertEqual(self.snapshot(), {n: d.replace(b"\r\n", b"\n") for n, d in files.items()})
            self.assertTrue(any(os.path.isdir(t) for t in temps), temps)
        finally:
            os.remove(state)
            if os.path.lexists(aside):
                os.rename(aside, state)
        set_dir = os.path.join(self.tmp, "cache", "journals")
        for name, data in files.items():
            write(self.p(name), data)
        env = dict(os.environ, EOLSET_STATE_DIR=win(set_dir))
        p = subprocess.run(command(self.program, True, ["-u", "root"]), cwd=self.tmp, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertTrue(os.path.isdir(set_dir))
        self.assertEqual(self.snapshot(), {n: d.replace(b"\r\n", b"\n") for n, d in files.items()})

    def test_no_usable_folder_is_said_once_and_fails_the_rewrites(self):
        if self.wine:
            self.skipTest("the Linux program's users")
        files = {"a.txt": b"a\r\n", "b.txt": b"b\n"}
        expected_err = ('ERROR: No folder for rewrite journals: cannot create "%s": the folder for '
                        "rewrite journals is a link, not the user's own, or writable by others "
                        '(error 1307).\nERROR: Cannot modify file "root/a.txt".\n' % self.private)
        # The private folder's name taken first: by another user, or by a link.
        for take in (lambda: os.makedirs(self.private),
                     lambda: os.symlink(self.root, self.private)):
            take()
            self.give_tree(files)
            out, status, err = self.as_nobody(["-u", "root"], self.env(HOME="/"))
            self.assertEqual((out, status, err),
                             ("2 files processed\n1 files could not be modified\n", 1,
                              expected_err))
            self.assertEqual(self.snapshot(), files)
            # A dry run needs no journal.
            out, status, err = self.as_nobody(["-t", "-u", "root"], self.env(HOME="/"))
            self.assertEqual((out, status, err),
                             ("root/a.txt\n2 files processed\n"
                              "would fix 1 line feeds and 0 BOMs in 1 files\n", 0, ""))
            if os.path.islink(self.private):
                os.remove(self.private)
            else:
                os.rmdir(self.private)


class ThreadsLikeOneAfterAnother(Tree):
    """Runs on worker threads print, count and leave every file exactly as a
    run that converts one file after another (-j1)."""

    def make_tree(self, root, seed):
        rng = random.Random(seed)
        ends = [b"\n", b"\r\n", b"\r", b"\r\r\n"]
        for i in range(120):
            body = b"".join((b"\xef\xbb\xbf" if rng.random() < 0.05 else b"") +
                            b"line %d" % n + rng.choice(ends[:1 if i % 4 == 0 else 4])
                            for n in range(rng.randint(0, 30)))
            if i % 29 == 7:
                body += b"\x00binary"
            write(os.path.join(root, "d%d" % (i % 6), "s%d" % (i % 4), "f%03d.txt" % i), body)
        for i in range(3):  # more than a window each
            write(os.path.join(root, "big%d.txt" % i), crlf_lines(60000 + i))
        # Errors in the middle: a file and a folder no one may read, a file no
        # one may write, and a file reached under three names.
        write(os.path.join(root, "d2", "secret.txt"), b"x\r\n")
        os.chmod(os.path.join(root, "d2", "secret.txt"), 0o000)
        write(os.path.join(root, "d3", "closed", "in.txt"), b"x\r\n")
        write(os.path.join(root, "d4", "ro.txt"), b"x\r\ny\n")
        os.chmod(os.path.join(root, "d4", "ro.txt"), 0o444)
        os.link(os.path.join(root, "d0", "s0", "f000.txt"), os.path.join(root, "d5", "again.txt"))
        os.link(os.path.join(root, "d0", "s0", "f000.txt"), os.path.join(root, "links.txt"))
        write(os.path.join(root, "d0", "s0", "f000.txt"), b"first\r\nvisit\n")
        os.chmod(os.path.join(root, "d3", "closed"), 0o000)

    def files(self, root):
        os.chmod(os.path.join(root, "d3", "closed"), 0o755)
        try:
            out = {}
            for dirpath, _, names in os.walk(root):
                for n in names:
                    full = os.path.join(dirpath, n)
                    os.chmod(full, 0o644)
                    out[os.path.relpath(full, root)] = read(full)
            return out
        finally:
            os.chmod(os.path.join(root, "d3", "closed"), 0o000)

    def fresh(self, name):
        """The tree made anew under `name`: every run sees the same names."""
        root = os.path.join(self.tmp, name)
        for dirpath, dirnames, _ in os.walk(root):
            for d in dirnames:
                os.chmod(os.path.join(dirpath, d), 0o755)
        shutil.rmtree(root, ignore_errors=True)
        self.make_tree(root, 1)
        return root

    def test_a_hundred_runs_match_one_after_another(self):
        modes = ["-u", "-w", "-t", "-p"]
        expected = {}
        for mode in modes:
            root = self.fresh("tree" + mode)
            out, rc, err = run_program(self.program, self.wine, [mode, "-j1", "tree" + mode],
                                       self.tmp, caps_dropped=True, full=True)
            said = "%s: status %d\n%s" % (mode, rc, err)
            self.assertIn("files could not be read", out, said)
            self.assertIn("folders could not be read", out, said)
            if mode != "-t":
                self.assertIn("files could not be modified", out, said)
            self.assertEqual(rc, 1, said)
            expected[mode] = (out, rc, err, self.files(root))
        for run in range(100):
            mode = modes[run % len(modes)]
            root = self.fresh("tree" + mode)
            args = [mode] + ([] if run % 2 else ["-j4"]) + ["tree" + mode]
            out, rc, err = run_program(self.program, self.wine, args, self.tmp,
                                       caps_dropped=True, full=True)
            self.assertEqual((out, rc, err), expected[mode][:3], "run %d %s" % (run, args))
            self.assertEqual(self.files(root), expected[mode][3], "run %d %s" % (run, args))

    def test_interrupts_at_random_moments(self):
        original = crlf_lines(20000)
        converted = original.replace(b"\r\n", b"\n")
        names = ["f%03d.txt" % i for i in range(40)]
        rng = random.Random(7)
        # A whole run first: the interrupts come at random within its time.
        for n in names:
            write(self.p(n), original)
        t0 = time.monotonic()
        self.run_eolset("-u", "-j4", "root")
        whole = time.monotonic() - t0
        interrupted = 0
        for attempt in range(6 if self.wine else 16):
            for n in names:
                write(self.p(n), original)
            proc = subprocess.Popen(command(self.program, self.wine, ["-u", "-j4", "root"]),
                                    cwd=self.tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    bufsize=0)
            # Once the first file is done the run takes interrupts; under Wine
            # its start and its end take most of the time.
            first = proc.stdout.readline() if attempt % 2 else b""
            time.sleep(rng.uniform(0.0, 0.03) if first else rng.uniform(0.0, whole))
            proc.send_signal(signal.SIGINT)
            rest, err = proc.communicate(timeout=600)
            out = first + rest
            done = [n for n in names if read(self.p(n)) == converted]
            for n in names:
                self.assertIn(read(self.p(n)), (original, converted), n)
            # The files done are the first of the walk, and the lines theirs.
            self.assertEqual(done, names[:len(done)], attempt)
            lines = out.decode().splitlines()
            if err == b"" and len(done) < len(names):  # before the program took interrupts
                self.assertEqual((done, out), ([], b""), attempt)
            elif err == b"interrupted\n":
                interrupted += 1
                self.assertEqual(lines[:len(done)], [self.shown(n) for n in done])
                self.assertEqual(lines[len(done):len(done) + 1],
                                 ["%d files processed" % len(done)] if done else [])
            else:  # the signal came after the run
                self.assertEqual((err, len(done)), (b"", len(names)), attempt)
            # The next run finds no rewrite to finish.
            _, rc, next_err = run_program(self.program, self.wine, ["-t", "root"], self.tmp,
                                          full=True)
            self.assertEqual(journals(self.wine), [])
            self.assertNotIn("cut short", next_err)
        self.assertGreater(interrupted, 0, "no interrupt came while the run went on")


class OnlyRegularFiles(Tree):
    NOT_READ = "1 files processed\n1 files could not be read\n"

    def test_pipe_in_the_folder_is_counted_and_never_opened_for_data(self):
        write(self.p("a.txt"), b"a\r\n")
        os.mkfifo(self.p("pipe"))
        out, rc, err = self.run_full("-u", "root")
        self.assertEqual(rc, 1)
        self.assertEqual(out, "%s\n2 files processed\n1 files could not be read\n"
                         "fixed 1 line feeds and 0 BOMs in 1 files\n" % self.shown("a.txt"))
        self.assertTrue(err.startswith('ERROR: Cannot read file "%s": ' % self.shown("pipe")),
                        err)

    def test_devices_and_pseudo_files_as_the_single_file(self):
        os.symlink("/dev/zero", self.p("zero"))
        os.symlink("/dev/null", self.p("null"))
        os.mkfifo(self.p("pipe"))
        for args in (["-w", "root/zero"], ["-w", "root/null"], ["-w", "root/pipe"],
                     ["-t", "/proc/self/pagemap"], ["-t", "/proc/sys/kernel/hostname"],
                     ["-t", "/proc/self/status"], ["-t", "/sys/kernel/uevent_seqnum"]):
            if args[1].startswith("/") and not os.path.exists(args[1]):
                continue
            out, rc = self.run_eolset(*args)
            self.assertEqual(rc, 1)
            self.assertEqual(out, self.NOT_READ, args)

    def test_block_device_through_a_link_is_never_read(self):
        device = next((d for d in ("/dev/loop0", "/dev/vda", "/dev/sda")
                       if os.path.exists(d) and stat.S_ISBLK(os.stat(d).st_mode)), None)
        if device is None:
            self.skipTest("no block device here")
        os.symlink(device, self.p("disk"))
        out, rc = self.run_eolset("-t", "root/disk")
        self.assertEqual(out, self.NOT_READ)


class WalkStaysInside(Tree):
    def test_links_out_of_the_tree_leave_their_targets_unchanged(self):
        write(self.p("a.txt"), b"a\r\n")
        outside = os.path.join(self.tmp, "outside")
        write(os.path.join(outside, "d/deep.txt"), b"d\r\n")
        os.symlink(os.path.join(outside, "d"), self.p("d"))
        os.symlink("/proc/sys/kernel", self.p("kernel"))
        out, rc = self.run_eolset("-u", "root")
        self.assertEqual(rc, 0)
        self.assertEqual(out, "%s\n1 files processed\nfixed 1 line feeds and 0 BOMs in 1 files\n"
                         "2 links lead outside the folder and were not followed\n"
                         % self.shown("a.txt"))
        self.assertEqual(read(os.path.join(outside, "d/deep.txt")), b"d\r\n")
        # A link given as the folder itself is the folder.
        out, rc = run_program(self.program, self.wine, ["-u", "d"], self.root)
        self.assertEqual(out, "%s\n1 files processed\nfixed 1 line feeds and 0 BOMs in 1 files\n"
                         % self.shown("d/deep.txt", "d/deep.txt"))

    def test_links_back_to_the_root_are_silent_loops(self):
        write(self.p("a.txt"), b"a\r\n")
        write(self.p("sub/b.txt"), b"b\r\n")
        os.symlink(".", self.p("self"))
        os.symlink("..", self.p("sub/up"))
        expect = "%s\n%s\n2 files processed\n%%s 2 line feeds and 0 BOMs in 2 files\n" % (
            self.shown("a.txt"), self.shown("sub/b.txt"))
        out, rc = self.run_eolset("-t", "-u", "root")
        self.assertEqual(out, expect % "would fix")
        out, rc = self.run_eolset("-u", "root")
        self.assertEqual(out, expect % "fixed")
        self.assertEqual(read(self.p("a.txt")), b"a\n")

    def test_link_to_a_file_outside_leaves_it_unchanged(self):
        if self.wine:
            # Wine shows a link to a file as the file itself: no attribute,
            # no reparse tag, and the target's name is the link's own.
            self.skipTest("Wine does not show links to files")
        outside = os.path.join(self.tmp, "outside")
        write(os.path.join(outside, "secret.txt"), b"s\r\n")
        os.symlink(os.path.join(outside, "secret.txt"), self.p("secret.txt"))
        out, rc = self.run_eolset("-u", "root")
        self.assertEqual(out, "1 links lead outside the folder and were not followed\n")
        self.assertEqual(read(os.path.join(outside, "secret.txt")), b"s\r\n")


class DeletedWorkingFolder(Tree):
    def run_in_deleted_folder(self, *args, stream="stdout"):
        gone = os.path.join(self.tmp, "gone")
        os.makedirs(gone)
        cmd = command(self.program, self.wine, args)
        script = 'cd "$1" && rmdir "$1" && shift && exec "$@"'
        p = subprocess.run(["sh", "-c", script, "sh", gone] + cmd, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=600)
        return getattr(p, stream).decode("utf-8", "surrogateescape")

    def test_absolute_folders_work_and_relative_ones_get_the_real_error(self):
        write(self.p("a.txt"), b"a\r\n")
        done = "%s\n1 files processed\nwould fix 1 line feeds and 0 BOMs in 1 files\n"
        sep = "\\" if self.wine else "/"
        self.assertEqual(self.run_in_deleted_folder("-t", "-u", win(self.root)),
                         done % (win(self.root) + sep + "a.txt"))
        if not self.wine:
            # Wine names a deleted working folder "unix", with no drive: a
            # path from the root then has none either.
            self.assertEqual(self.run_in_deleted_folder("-t", "-u", self.root),
                             done % (self.root + "/a.txt"))
        err = self.run_in_deleted_folder("-t", "-u", "root", stream="stderr")
        self.assertIn("path not found (error 3)", err)
        self.assertNotIn("memory", err)


class SameOnBothPlatforms(unittest.TestCase):
    def test_identical_output_and_files(self):
        if not ARGS.compare:
            self.skipTest("no second program given")
        tmp = tempfile.mkdtemp(prefix="eolset-cmp-")
        try:
            results = []
            for tag, program, wine in (("linux", ARGS.compare, False), ("windows", Tree.program, True)):
                # Both trees at the same path, so the printed paths agree too.
                root = os.path.join(tmp, "tree")
                if os.path.exists(root):
                    shutil.rmtree(root)
                make_mixed_tree(root)
                write(os.path.join(root, "deep/er/x.cpp"), b"\xef\xbb\xbfx\r\ny\n")
                os.symlink("..", os.path.join(root, "deep", "loop"))
                outs = [run_program(program, wine, args, tmp)[0]
                        for args in (["-t", "tree"], ["-w", "tree", "-*.bin"], ["tree"])]
                if not wine:
                    outs = [windows_form(out, "tree", tmp) for out in outs]
                files = {}
                for dirpath, _, filenames in os.walk(root):
                    for n in filenames:
                        files[os.path.relpath(os.path.join(dirpath, n), root)] = read(os.path.join(dirpath, n))
                results.append((outs, files))
            self.assertEqual(results[0], results[1])
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


# Names a Windows name cannot hold, or that differ only in bytes that are not
# UTF-8 or only in letter case, and names both programs can hold.
HOSTILE_NAMES = [b"star*.txt", b"q?.txt", b'dq".txt', b"lt<.txt", b"gt>.txt", b"pipe|.txt",
                 b"back\\slash.txt", b"tab\t.txt", b"new\nline.txt", b"bad\xff.txt",
                 b"bad\xfe.txt", b"B\xff.txt", b"b\xff.txt", b"own\xef\x80\xba.txt",
                 b" lead.txt", b"trail .txt", b"trail..", b"Case.txt", b"case.txt"]
COMMON_NAMES = [b"log 10:00:00.txt", b"caf\xc3\xa9.txt", b"UPPER.txt", b"trail."]


class OddNames(Tree):
    def test_every_name_converted_once_under_its_own_bytes(self):
        if self.wine:
            self.skipTest("names a Windows file system cannot hold")
        root = os.fsencode(self.root)
        for n in HOSTILE_NAMES + COMMON_NAMES:
            write(os.path.join(root, n), b"a\r\n")
        for folder in (b"t\xff", b"T\xff"):
            write(os.path.join(root, folder, b"x.txt"), b"x\r\n")
        names = sorted(HOSTILE_NAMES + COMMON_NAMES)
        # Selected with +b*: only names that begin with a small b.
        out, rc = self.run_eolset("-u", "root", "+b*")
        picked = [n for n in names if n.startswith(b"b")]
        self.assertEqual(sorted(os.fsencode(l) for l in out.splitlines()[:-2]),
                         [b"root/" + n for n in picked])
        for n in names:
            self.assertEqual(read(os.path.join(root, n)), b"a\n" if n in picked else b"a\r\n", n)
        # Then every other one, each once, printed as its own bytes.
        out, rc = self.run_eolset("-u", "root")
        self.assertEqual(rc, 0)
        # A line feed in a name is the one thing a line cannot carry.
        out = os.fsencode(out)
        self.assertIn(b"root/new\nline.txt\n", out)
        lines = out.replace(b"root/new\nline.txt\n", b"").split(b"\n")[:-1]
        self.assertEqual(sorted(lines[:-2]), sorted(
            [b"root/" + n for n in names if n not in picked and n != b"new\nline.txt"] +
            [b"root/t\xff/x.txt", b"root/T\xff/x.txt"]))
        for n in names:
            self.assertEqual(read(os.path.join(root, n)), b"a\n", n)
        # The folder argument is taken exactly: T\xff is not t\xff.
        write(os.path.join(root, b"T\xff", b"x.txt"), b"x\r\n")
        out, rc = self.run_eolset("-u", os.fsdecode(b"root/t\xff"))
        self.assertEqual(out, "1 files processed\n")
        self.assertEqual(read(os.path.join(root, b"T\xff", b"x.txt")), b"x\r\n")
        # What it prints goes on to other tools.
        out, _ = run_program(self.program, False, ["-t", "-w", "root"], self.tmp)
        out = os.fsencode(out).replace(b"root/new\nline.txt\n", b"")
        listed = out.split(b"\n")[:-3]
        # Every name but the line feed's, t\xff/x.txt (T\xff/x.txt is CR LF again).
        self.assertEqual(len(listed), len(names) - 1 + 1)
        for l in listed:
            self.assertTrue(os.path.isfile(os.path.join(os.fsencode(self.tmp), l)), l)

    def test_same_bytes_from_both_programs(self):
        if not ARGS.compare:
            self.skipTest("no second program given")
        results = []
        for program, wine in ((ARGS.compare, False), (Tree.program, True)):
            tree = os.path.join(os.fsencode(self.tmp), b"odd")
            if os.path.exists(tree):
                shutil.rmtree(tree)
            for n in COMMON_NAMES:
                write(os.path.join(tree, n), b"x\r\ny\n\r\n")
            outs = [run_program(program, wine, args, self.tmp)[0]
                    for args in (["-t", "odd"], ["-u", "odd"])]
            if not wine:
                outs = [windows_form(out, "odd", self.tmp) for out in outs]
            files = {n: read(os.path.join(tree, n)) for n in COMMON_NAMES}
            results.append((outs, files))
        self.assertEqual(results[0], results[1])


def hold_wine_session():
    """One Wine session for the whole suite. A wineserver that outlives its
    last program, started before any run and warmed by one, keeps every
    run out of Wine's session start: a program killed while that start
    runs can leave it stuck, and every later program waits on it."""
    server = next((w for w in ("wineserver", "/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver")
                   if shutil.which(w)), None)
    if not server:
        return
    # Wine's server opens the files for its programs: it runs with the
    # view of an ordinary user, as the runs that drop capabilities need.
    start = [server, "-p"]
    if os.geteuid() == 0:
        start = DROP_CAPS + start
    subprocess.run(start, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(command(Tree.program, True, ["--version"]), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
    atexit.register(lambda: subprocess.run([server, "-k"], stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--wine", action="store_true")
    ap.add_argument("--compare", help="the Linux program, to compare with --program under Wine")
    ap.add_argument("--version", required=True, help="what --version must print")
    ARGS, rest = ap.parse_known_args()
    if ARGS.compare and not os.path.exists(ARGS.compare):
        ARGS.compare = None
    Tree.program = os.path.abspath(ARGS.program)
    Tree.wine = ARGS.wine
    # The Linux program keeps its journals here, not in the user's state folder.
    state = tempfile.mkdtemp(prefix="eolset-e2e-state-")
    os.environ["XDG_STATE_HOME"] = state
    if ARGS.compare:
        ARGS.compare = os.path.abspath(ARGS.compare)
    if ARGS.wine:
        hold_wine_session()
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    if rest:
        suite = unittest.defaultTestLoader.loadTestsFromNames(rest, sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    print("e2e: %d passed, %d failed, %d skipped" % (result.testsRun - failed - skipped, failed, skipped))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

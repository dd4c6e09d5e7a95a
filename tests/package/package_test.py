#!/usr/bin/env python3
"""The packages as a user gets them.

Builds both packages with tools/package.sh into a scratch folder, unpacks the
Debian package into a scratch root (dpkg -x) and the zip into a scratch
folder, and runs the program each holds: the Linux one natively, the Windows
one under Wine. Also renders the installed manual page and checks that it
keeps up with the README's list of summary lines.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ARGS = None
TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
WINE_RUN = os.path.join(TOP, "cmake", "wine-run.sh")
SCRATCH = None
DEB = None
ZIP = None

HELP_START = "Newlinery\nCopyright (c) 2026 the eolset developers\n"
SYNTAX = 'syntax: "eolset [<switch> ...] <folder> [[+|-]<filter> ...]"\n'
MAN_SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILTERS", "OUTPUT",
                "EXIT STATUS", "EXAMPLES", "NOTES"]
# What a static program may still import: Windows itself.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll"}


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600,
                          **kw)


def text(b):
    return b.decode("utf-8", "replace")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def win(path):
    """The path as both programs print it: drive Z: is the POSIX root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def make_tree(root):
    write(os.path.join(root, "a.txt"), b"a\r\nb\r\n")
    write(os.path.join(root, "sub", "b.txt"), b"\xef\xbb\xbfx\n")


def readme_summary_lines():
    """The summary lines the README's Output section lists, as printed."""
    readme = read(os.path.join(TOP, "README.md")).decode("utf-8")
    section = readme.split("### Output", 1)[1].split("\n#", 1)[0]
    return re.findall(r"^\| `([^`]+)` \|", section, re.M)


def setUpModule():
    global SCRATCH, DEB, ZIP
    SCRATCH = tempfile.mkdtemp(prefix="eolset-package-")
    out = os.path.join(SCRATCH, "out")
    p = run(["bash", os.path.join(TOP, "tools", "package.sh"), out])
    if p.returncode != 0:
        raise RuntimeError("tools/package.sh failed:\n" + text(p.stdout) + text(p.stderr))
    arch = text(run(["dpkg", "--print-architecture"]).stdout).strip()
    DEB = os.path.join(out, "eolset_%s_%s.deb" % (ARGS.version, arch))
    ZIP = os.path.join(out, "eolset-%s-win64.zip" % ARGS.version)


def tearDownModule():
    if SCRATCH:
        shutil.rmtree(SCRATCH, ignore_errors=True)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = os.path.join(SCRATCH, "root")
        p = run(["dpkg", "-x", DEB, cls.root])
        if p.returncode != 0:
            raise RuntimeError("dpkg -x failed: " + text(p.stderr))
        cls.program = os.path.join(cls.root, "usr", "bin", "eolset")
        cls.man_dir = os.path.join(cls.root, "usr", "share", "man")
        cls.page = os.path.join(cls.man_dir, "man1", "eolset.1.gz")

    def field(self, name):
        p = run(["dpkg-deb", "-f", DEB, name])
        self.assertEqual(p.returncode, 0, text(p.stderr))
        return text(p.stdout).strip()

    def test_control_fields_name_the_version_and_the_libraries(self):
        self.assertEqual(self.field("Package"), "eolset")
        self.assertEqual(self.field("Version"), ARGS.version)
        self.assertIn("libc6", self.field("Depends"))
        self.assertTrue(self.field("Maintainer"))
        self.assertTrue(self.field("Description").startswith("rewrite the line ends"))
        # apt resolves those dependencies on this machine (a dry run).
        p = run(["apt-get", "install", "-s", DEB])
        self.assertEqual(p.returncode, 0, text(p.stdout) + text(p.stderr))
        self.assertIn("Inst eolset", text(p.stdout))

    def test_holds_only_the_program_its_page_and_its_documents(self):
        p = run(["dpkg-deb", "-c", DEB])
        self.assertEqual(p.returncode, 0, text(p.stderr))
        files = {}
        for line in text(p.stdout).splitlines():
            mode, owner, _, _, _, name = line.split(None, 5)
            if not mode.startswith("d"):
                files[name] = (mode, owner)
        self.assertEqual(files, {
            "./usr/bin/eolset": ("-rwxr-xr-x", "root/root"),
            "./usr/share/man/man1/eolset.1.gz": ("-rw-r--r--", "root/root"),
            "./usr/share/doc/eolset/copyright": ("-rw-r--r--", "root/root"),
            "./usr/share/doc/eolset/README.md": ("-rw-r--r--", "root/root"),
            "./usr/share/doc/eolset/changelog.gz": ("-rw-r--r--", "root/root"),
        })
        self.assertEqual(read(os.path.join(self.root, "usr/share/doc/eolset/copyright")),
                         read(os.path.join(TOP, "LICENSE")))

    def test_lintian_finds_no_error(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed")
        p = run(["lintian", "--no-tag-display-limit", DEB])
        errors = [line for line in text(p.stdout).splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], text(p.stdout) + text(p.stderr))

    def test_installed_program_is_the_release_build_and_works(self):
        p = run([self.program, "-h"])
        self.assertEqual(p.returncode, 0)
        out = text(p.stdout)
        self.assertTrue(out.startswith(HELP_START), out)
        self.assertIn(SYNTAX, out)
        p = run([self.program, "--version"])
        self.assertEqual(text(p.stdout), "eolset %s\n" % ARGS.version)
        # The sanitizer build would need its run-time libraries.
        p = run(["readelf", "-d", self.program])
        self.assertNotRegex(text(p.stdout), r"lib(a|ub)san")
        tree = os.path.join(SCRATCH, "deb-tree")
        make_tree(tree)
        p = run([self.program, "-u", tree])
        self.assertEqual(p.returncode, 0)
        self.assertEqual(text(p.stdout),
                         os.path.join(tree, "a.txt") + "\n" +
                         os.path.join(tree, "sub", "b.txt") + "\n"
                         "2 files processed\n"
                         "fixed 2 line feeds and 1 BOMs in 2 files\n")
        self.assertEqual(read(os.path.join(tree, "a.txt")), b"a\nb\n")
        self.assertEqual(read(os.path.join(tree, "sub", "b.txt")), b"x\n")

    def render(self, *args):
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MANPAGER="cat", PAGER="cat")
        return run(["man", "--warnings"] + list(args), env=env)

    def test_manual_page_renders_without_warnings(self):
        p = self.render("-l", self.page)
        self.assertEqual(p.returncode, 0, text(p.stderr))
        self.assertEqual(text(p.stderr), "")
        page = text(p.stdout)
        for section in MAN_SECTIONS:
            self.assertRegex(page, r"(?m)^%s$" % section)
        self.assertIn("eolset %s" % ARGS.version, page)
        # `man eolset` finds it where the package puts it.
        p = run(["man", "-w", "eolset"], env=dict(os.environ, MANPATH=self.man_dir))
        self.assertEqual(text(p.stdout).strip(), self.page, text(p.stderr))
        # apropos and whatis read the NAME line.
        p = run(["lexgrog", self.page])
        self.assertEqual(p.returncode, 0, text(p.stdout))
        self.assertIn('"eolset - rewrite the line ends', text(p.stdout))

    def test_manual_page_lists_every_summary_line_of_the_readme(self):
        lines = readme_summary_lines()
        self.assertIn("N files processed", lines)
        page = " ".join(text(self.render("-l", self.page).stdout).split())
        missing = [line for line in lines if line not in page]
        self.assertEqual(missing, [], "doc/eolset.1.in lacks README summary lines")


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = os.path.join(SCRATCH, "zip")
        with zipfile.ZipFile(ZIP) as z:
            cls.names = sorted(z.namelist())
            z.extractall(cls.folder)
        cls.top = os.path.join(cls.folder, "eolset-%s-win64" % ARGS.version)
        cls.program = os.path.join(cls.top, "eolset.exe")

    def test_holds_the_program_the_readme_and_the_licence(self):
        top = "eolset-%s-win64/" % ARGS.version
        self.assertEqual(self.names, [top + "LICENSE.txt", top + "README.md", top + "eolset.exe"])
        self.assertEqual(read(os.path.join(self.top, "LICENSE.txt")),
                         read(os.path.join(TOP, "LICENSE")))
        self.assertEqual(read(os.path.join(self.top, "README.md")),
                         read(os.path.join(TOP, "README.md")))

    def test_program_needs_no_dll_but_windows_own(self):
        p = run(["x86_64-w64-mingw32-objdump", "-p", self.program])
        self.assertEqual(p.returncode, 0, text(p.stderr))
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", text(p.stdout))}
        self.assertIn("ntdll.dll", dlls)
        self.assertEqual(dlls - SYSTEM_DLLS, set())

    def test_program_runs_under_wine(self):
        p = run([WINE_RUN, self.program, "-h"])
        self.assertEqual(p.returncode, 0, text(p.stderr))
        out = text(p.stdout)
        self.assertTrue(out.startswith(HELP_START), out)
        self.assertIn(SYNTAX, out)
        tree = os.path.join(SCRATCH, "zip-tree")
        make_tree(tree)
        p = run([WINE_RUN, self.program, "-t", "-w", tree])
        self.assertEqual(p.returncode, 0, text(p.stderr))
        self.assertEqual(text(p.stdout),
                         win(os.path.join(tree, "sub", "b.txt")) + "\n"
                         "2 files processed\n"
                         "would fix 1 line feeds and 1 BOMs in 1 files\n")
        self.assertEqual(read(os.path.join(tree, "sub", "b.txt")), b"\xef\xbb\xbfx\n")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True, help="the project's version")
    ARGS, rest = parser.parse_known_args()
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    # A failed set-up is an error of no test; count it as failed, not as run.
    broken = [t for t, _ in result.failures + result.errors if isinstance(t, unittest.TestCase)]
    # The same count line as the end-to-end suite, so tools/check.sh counts these too.
    print("e2e: %d passed, %d failed, %d skipped (packages)"
          % (result.testsRun - len(broken) - skipped, failed, skipped))
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())

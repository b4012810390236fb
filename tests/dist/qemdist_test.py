#!/usr/bin/python3
"""qemdist end to end on a local cluster of two workers, and on a scheduler started here.

    qemdist_test.py QEMDIST QEMPART QEMVERIFY [TEST...]

A data set of the smallest size in three parts per phase, the first attempt
of one part made to fail: qemdist retries it, and the joined parts equal
the files that qempart writes as one part (which the C++ tests compare
with a whole run); inventory by its code columns; qemverify passes the
gathered folder. A part that qemverify finds damaged on its worker is a
failed attempt, run again. Compressed parts (--compress) pass qemverify on
the workers and in the gathered folder, and joined as qemdist says to join
them (qemverify --join) are the files qempart writes as one plain part. Two runs at once on one scheduler, apart from their folders the same, each write their own. A part
failing on every attempt, a part that hangs (killed at its time limit), a
folder that cannot be written and answers qempart refuses end with status 1,
bad commands with status 2. Exits 77 (skipped) where Dask is not installed.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

try:
    import distributed  # noqa: F401
except ImportError:
    print("skipped: Dask is not installed (apt-get install python3-distributed python3-dask)")
    sys.exit(77)

QEMDIST, QEMPART, QEMVERIFY = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
ANSWERS = ["--channels", "10", "--density", "0.1", "--users", "10", "--seed", "4000000000"]
INVENTORY = ("histinv.qem", "currinv.qem")


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kwargs)


def code_columns(data):
    return b"\n".join(line[:24] for line in data.split(b"\n"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Scheduler:
    """A Dask scheduler and two single-thread workers on 127.0.0.1, as the Debian package starts them."""

    def __init__(self, folder):
        self.file = os.path.join(folder, "scheduler.json")
        self.processes = [subprocess.Popen(
            ["dask-scheduler", "--host", "127.0.0.1", "--port", str(free_port()), "--no-dashboard",
             "--dashboard-address", "127.0.0.1:0",
             "--scheduler-file", self.file], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, cwd=folder)]
        while not os.path.exists(self.file):  # written once the scheduler listens
            if self.processes[0].poll() is not None:
                raise RuntimeError("dask-scheduler ended with status %d" % self.processes[0].returncode)
            time.sleep(0.1)
        time.sleep(0.1)
        with open(self.file) as f:
            self.address = json.load(f)["address"]
        self.processes.append(subprocess.Popen(
            ["dask-worker", self.address, "--host", "127.0.0.1", "--nworkers", "2", "--nthreads", "1",
             "--no-dashboard", "--local-directory", folder], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=folder))
        from distributed import Client
        with Client(self.address, timeout="30s") as client:
            client.wait_for_workers(2, timeout=60)

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


class Qemdist(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.dir = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def qemdist(self, *arguments, env=None, qempart=QEMPART):
        return run([QEMDIST, "--local", "2", "--qempart", qempart, "--qemverify", QEMVERIFY] + list(arguments), env=env)

    def wrapper(self, body):
        """A qempart that answers --sizes as qempart does and runs the shell lines BODY for a part."""
        path = os.path.join(self.dir, "qempart-wrapper")
        with open(path, "w") as f:
            f.write('#!/bin/sh\ncase " $* " in *" --sizes "*) exec %s "$@";; esac\n%s\n' % (QEMPART, body))
        os.chmod(path, 0o755)
        return path

    def test_joined_parts_are_the_single_part_files_after_a_retry(self):
        parts = os.path.join(self.dir, "parts")
        env = dict(os.environ, QEMDIST_TEST_FAIL_ONCE="1:2")
        done = self.qemdist(*ANSWERS, "--parts", "3", "--out", parts, "--verify-digests", env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        # The failed attempt reported once by qemdist, and nothing else on a standard error that is no terminal.
        self.assertEqual(done.stderr, "qemdist: phase 1 part 2: failure made for a test (attempt 1 of 3; run again)\n")
        self.assertTrue(done.stdout.startswith("seed -294967296\n"), done.stdout)
        self.assertIn("9 of 9 parts", done.stdout)
        self.assertIn("check the whole data set there: qemverify --phases 1,2,3 %s\n" % parts, done.stdout)
        checked = run([QEMVERIFY, parts])
        self.assertEqual(checked.returncode, 0, checked.stderr)
        whole = os.path.join(self.dir, "whole")
        os.mkdir(whole)
        for phase in "123":
            one = run([QEMPART] + ANSWERS + ["--phase", phase, "--parts", "1", "--part", "1", "--out", whole])
            self.assertEqual(one.returncode, 0, one.stderr)
        names = sorted(n[:-len(".part0001")] for n in os.listdir(whole) if n.endswith(".qem.part0001"))
        self.assertEqual(len(names), 12 + 3 + 10)
        self.assertEqual(sorted(os.listdir(parts)),
                         sorted("%s.part%04d" % (n, k) for n in names + ["phase1.manifest", "phase2.manifest",
                                                                         "phase3.manifest"] for k in (1, 2, 3)))
        for name in names:
            joined = b"".join(contents(os.path.join(parts, "%s.part%04d" % (name, k))) for k in (1, 2, 3))
            expected = contents(os.path.join(whole, name + ".part0001"))
            if name in INVENTORY:
                joined, expected = code_columns(joined), code_columns(expected)
            self.assertTrue(joined == expected, name)

    def test_compressed_parts_are_checked_and_join_into_the_plain_files(self):
        parts, whole, single = (os.path.join(self.dir, name) for name in ("parts", "whole", "single"))
        done = self.qemdist(*ANSWERS, "--parts", "2", "--phases", "2,3", "--out", parts, "--compress", "zstd:3")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertRegex(done.stdout, r"4 of 4 parts, \d+ bytes \(\d+ compressed\)")
        self.assertIn("join them as they are checked: qemverify --phases 2,3 --join WHOLE %s\n" % parts, done.stdout)
        self.assertTrue(all(n.endswith(".zst") or ".manifest." in n for n in os.listdir(parts)))
        checked = run([QEMVERIFY, "--phases", "2,3", parts])
        self.assertEqual(checked.returncode, 0, checked.stderr)
        os.mkdir(single)
        joined = run([QEMVERIFY, "--phases", "2,3", "--join", whole, parts])
        self.assertEqual(joined.returncode, 0, joined.stderr)
        for phase in "23":
            one = run([QEMPART] + ANSWERS + ["--phase", phase, "--parts", "1", "--part", "1", "--out", single])
            self.assertEqual(one.returncode, 0, one.stderr)
        names = sorted(n[:-len(".part0001")] for n in os.listdir(single) if n.endswith(".qem.part0001"))
        self.assertEqual(sorted(os.listdir(whole)), sorted(names + ["phase2.manifest", "phase3.manifest"]))
        for name in names:
            data = contents(os.path.join(whole, name))
            expected = contents(os.path.join(single, name + ".part0001"))
            if name in INVENTORY:
                data, expected = code_columns(data), code_columns(expected)
            self.assertTrue(data == expected, name)

    def test_a_part_that_qemverify_finds_damaged_is_run_again(self):
        marker = os.path.join(self.dir, "damaged")
        # Part 2 of phase 3 comes out with one byte of its first file that has bytes changed, the first time only.
        wrapper = self.wrapper('%s "$@" || exit $?\ncase " $* " in *" --phase 3 "*" --part 2 "*)\n'
                               '  if [ ! -e %s ]; then touch %s; for out; do :; done\n'
                               '    for f in "$out"/qry*.qem.part0002; do [ -s "$f" ] || continue\n'
                               '      printf "~" | dd of="$f" bs=1 seek=7 conv=notrunc 2>/dev/null; break; done; fi;;\n'
                               'esac' % (QEMPART, marker, marker))
        done = self.qemdist(*ANSWERS, "--parts", "2", "--phases", "3", "--out", os.path.join(self.dir, "parts"),
                            qempart=wrapper)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("2 of 2 parts", done.stdout)
        self.assertRegex(done.stderr, r"^qemdist: phase 3 part 2 on \S+: qemverify ended with status 1 "
                                      r"\(attempt 1 of 3; run again\)\n(.*\n)*qemverify: qry\d+\.qem\.part0002: CRC-32")

    def test_a_part_failing_on_every_attempt_fails_the_run(self):
        done = self.qemdist(*ANSWERS, "--retries", "1", "--parts", "2", "--phases", "3", "--out", self.dir,
                            qempart=self.wrapper("exit 1"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("0 of 2 parts", done.stdout)
        self.assertIn("phase 3 part 1 on", done.stderr)
        self.assertIn("phase 3 part 2: missing", done.stderr)

    def test_two_runs_on_one_scheduler_write_their_own_folders(self):
        scheduler = Scheduler(self.dir)
        try:
            folders = [os.path.join(self.dir, name) for name in ("first", "second")]
            runs = [subprocess.Popen([QEMDIST, "--scheduler", scheduler.address, "--qempart", QEMPART,
                                      "--qemverify", QEMVERIFY] + ANSWERS +
                                     ["--parts", "2", "--out", folder], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                    for folder in folders]
            for run_, folder in zip(runs, folders):
                out, err = run_.communicate()
                self.assertEqual(run_.returncode, 0, err)
                self.assertEqual(err, "")  # no progress, no dashboard: standard error is no terminal
                self.assertIn("6 of 6 parts", out)
                self.assertEqual(len([n for n in os.listdir(folder) if ".part000" in n]), 2 * (12 + 3 + 10 + 3))
        finally:
            scheduler.stop()

    def test_a_hanging_part_is_stopped_and_reported(self):
        sleeping = os.path.join(self.dir, "sleeping")
        # Part 2 of phase 3 sleeps in a child process; the rest is qempart's.
        wrapper = self.wrapper('case " $* " in *" --phase 3 "*" --part 2 "*)\n'
                               '  sleep 600 & echo $! >> %s; wait; exit 0;;\nesac\nexec %s "$@"' % (sleeping, QEMPART))
        done = self.qemdist("--part-timeout", "10", "--retries", "1", *ANSWERS, "--parts", "2", "--phases", "3",
                            "--out", os.path.join(self.dir, "parts"), qempart=wrapper)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("1 of 2 parts", done.stdout)
        self.assertEqual(done.stderr.count("phase 3 part 2 on"), 2, done.stderr)  # both attempts
        self.assertIn("past the part's limit of 10 s", done.stderr)
        pids = contents(sleeping).decode().split()
        self.assertEqual(len(pids), 2)
        for pid in pids:  # the process group was killed: its children too
            try:
                with open("/proc/%s/stat" % pid) as f:
                    self.assertEqual(f.read().rsplit(")", 1)[1].split()[0], "Z", pid)
            except FileNotFoundError:
                pass

    def test_a_folder_that_cannot_be_written_is_reported_once(self):
        blocker = os.path.join(self.dir, "file")
        open(blocker, "w").close()
        done = self.qemdist(*ANSWERS, "--parts", "3", "--out", os.path.join(blocker, "parts"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("0 of 9 parts", done.stdout)
        self.assertEqual(done.stderr, "qemdist: cannot write into the folder %s on %s: Not a directory\n"
                         % (os.path.join(blocker, "parts"), socket.gethostname()))

    def test_answers_too_large_are_refused_before_any_part(self):
        out = os.path.join(self.dir, "parts")
        done = self.qemdist("--channels", "2147483", "--density", "40", "--users", "10", "--parts", "2",
                            "--out", out, qempart=self.wrapper("touch %s; exit 1" % os.path.join(self.dir, "ran")))
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr, r"^qemdist: \S.*\n$")  # qempart's reason, one line
        self.assertEqual(sorted(os.listdir(self.dir)), ["qempart-wrapper"])  # no part run, nothing written

    def test_bad_commands(self):
        for arguments, message in [
                (ANSWERS + ["--parts", "0", "--out", self.dir], "--parts"),
                (ANSWERS[:-2] + ["--seed", "4294967296", "--parts", "2", "--out", self.dir], "--seed"),
                (["--channels", "9"] + ANSWERS[2:] + ["--parts", "2", "--out", self.dir], "--channels 9"),
                (ANSWERS + ["--parts", "2"], "--out"),
                (ANSWERS + ["--parts", "2", "--out", self.dir, "--phases", "4"], "--phases"),
                (ANSWERS + ["--parts", "2", "--out", self.dir, "--part-timeout", "-1"], "--part-timeout -1"),
                (ANSWERS + ["--parts", "2", "--out", self.dir, "--compress", "zstd:20"], "--compress zstd:20")]:
            done = self.qemdist(*arguments)
            self.assertEqual(done.returncode, 2, arguments)
            self.assertIn(message, done.stderr)
        self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])  # further arguments: the tests to run

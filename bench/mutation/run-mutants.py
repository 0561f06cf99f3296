#!/usr/bin/env python3
"""Applies plausible faults to the code one at a time and records which tests catch them.

Run by hand, never by ctest:
    nice -n 19 bench/mutation/run-mutants.py [--build build] [--only M01,M07] [--out DIR]

Each mutant of mutants.txt names an exact snippet that occurs once in src/, faxservice/,
registry/ or tools/. The script replaces it, rebuilds only the test targets that can see that
code, runs those tests, puts the file back (also on Ctrl-C or a failure) and reports which test
functions failed. A crash or a timeout counts as caught; a mutant that does not compile is
reported apart and left out of the totals.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CODE_DIRS = ("src", "faxservice", "registry", "tools")
CODE_SUFFIXES = {".cpp", ".h", ".c"}
BACKUP = ROOT / "bench" / "mutation" / ".mutant-backup.json"

# Which tests can see the code of a folder: the longest matching prefix wins. The list keeps
# to the tests that exercise a folder directly, so that a mutant costs a few relinks and a
# few minutes; the desktop tests that only pass through a folder are left to the full run.
# The fax lab tests (label hylafax) are never run here; the line's protocol and recovery tests
# cover faxservice/line without a lab.
TESTS_FOR_FOLDER = [
    ("faxservice/render", r"^tst_(coverpages|faxbodies|faxtiff|faxservice|faxcomposer)$"),
    ("faxservice/line", r"^tst_(hylafaxprotocol|hylafaxrecovery|faxschedule|faxservice)$"),
    ("faxservice", r"^tst_(fax(service|recovery|console|schedule|faults|submission|submitparse|composer|idle)|hylafax(recovery|protocol))$"),
    ("registry", r"^tst_(registrystore|cwinreg|netrc|services)$"),
    ("tools/tiff2png", r"^tst_(tiff2png|faxitems)$"),
    ("tools/fax", r"^tst_faxconsole$"),
    ("tools/mirror", r"^tst_(sessionmirror|preview)$"),
    ("tools/faxprinter", r"^tst_desktop_faxprinter$"),
    ("src/platform/mail", r"^tst_(mailstore|imapstore|faxitems|addressbook|vcard|import)$"),
    ("src/platform/fax", r"^tst_(submission|import|preview)$"),
    ("src/platform/imaging", r"^tst_(imaging|desktop_scan)$"),
    ("src/platform/shell", r"^tst_(services|pages|preview)$"),
    ("src/bridge", r"^tst_(import|preview|sessionmirror)$"),
    ("src/wizard", r"^tst_(coverpage|recipients|submission|desktop_pages)$"),
    ("src/send", r"^tst_(submission|preview|desktop_processes)$"),
    ("src/job", r"^tst_(submission|recipients|coverpage|commandline|services)$"),
    ("src/extras", r"^tst_(update|pages|desktop_update)$"),
    ("src/services", r"^tst_(commandline|services|cwinreg|pages|language)$"),
    ("src/session", r"^tst_(commandline|services|submission)$"),
    ("src/app", r"^tst_(commandline|services|cwinreg|pages)$"),
]
BUILD_SECONDS = 600
# The programs and the module the tests start or load at run time: no test target depends on
# all of them, and a mutant in their code must reach them too (ninja relinks only what changed).
RUNTIME_TARGETS = ["sendmere", "sendmere-faxd", "sendmere-fax", "sendmere-mirror", "sendmere-mailcodec",
                   "sendmere-fax-backend", "tiff2png"]
FAIL_LINE = re.compile(r"^FAIL!\s+:\s+([\w:]+?)(\(.*\))?\s")
CRASH_MARKERS = ("Received signal", "Caught unhandled exception", "QFATAL", "AddressSanitizer")


@dataclass
class Mutant:
    ident: str
    area: str
    find: str
    replace: str
    description: str
    path: Path = None


@dataclass
class Outcome:
    ident: str
    description: str
    status: str = "survived"          # caught, survived, no-build, skipped
    tests_run: list = field(default_factory=list)
    failed_tests: list = field(default_factory=list)
    functions: list = field(default_factory=list)
    seconds: float = 0.0


def unescape(text):
    return text.replace("\\n", "\n").replace("\\t", "\t")


def read_mutants(path):
    """Blocks of `key: value` lines separated by blank lines; `#` starts a comment line."""
    mutants, block = [], {}
    for line in list(path.read_text().splitlines()) + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if block:
                missing = {"id", "area", "find", "replace", "desc"} - block.keys()
                if missing:
                    sys.exit(f"mutant {block.get('id', '?')}: missing {', '.join(sorted(missing))}")
                mutants.append(Mutant(block["id"], block["area"], unescape(block["find"]),
                                      unescape(block["replace"]), block["desc"]))
                block = {}
            continue
        key, sep, value = line.partition(":")
        if not sep:
            sys.exit(f"mutants.txt: not a `key: value` line: {line!r}")
        block[key.strip()] = value[1:] if value.startswith(" ") else value
    return mutants


def code_files():
    for folder in CODE_DIRS:
        for path in (ROOT / folder).rglob("*"):
            if path.suffix in CODE_SUFFIXES and path.is_file():
                yield path


def locate(mutants):
    """Finds each snippet's one file; refuses a snippet that is missing or not unique."""
    texts = {path: path.read_text(errors="replace") for path in code_files()}
    problems = []
    for mutant in mutants:
        hits = [(path, text.count(mutant.find)) for path, text in texts.items() if mutant.find in text]
        count = sum(n for _, n in hits)
        if count != 1:
            where = ", ".join(str(p.relative_to(ROOT)) for p, _ in hits) or "nowhere"
            problems.append(f"{mutant.ident}: snippet found {count} times ({where}): {mutant.find!r}")
        else:
            mutant.path = hits[0][0]
    return problems


def tests_for(path, known_tests):
    relative = str(path.relative_to(ROOT))
    best = max((prefix for prefix, _ in TESTS_FOR_FOLDER if relative.startswith(prefix + "/")),
               key=len, default=None)
    if best is None:
        return []
    pattern = re.compile(dict(TESTS_FOR_FOLDER)[best])
    return [name for name in known_tests if pattern.match(name)]


def list_tests(build):
    out = subprocess.run(["ctest", "--test-dir", str(build), "-N", "-LE", "hylafax"],
                         capture_output=True, text=True, check=True).stdout
    return re.findall(r"Test\s+#\d+:\s+(\S+)", out)


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return pid > 0


class Restorer:
    """Keeps the original text of the mutated file on disk until it is back in place."""

    def __init__(self):
        self.path = None
        self.text = None

    def mutate(self, mutant):
        self.path, self.text = mutant.path, mutant.path.read_text()
        BACKUP.write_text(json.dumps({"path": str(self.path), "text": self.text, "pid": os.getpid()}))
        self.path.write_text(self.text.replace(mutant.find, mutant.replace, 1))

    def restore(self):
        if self.path is not None:
            self.path.write_text(self.text)
            self.path = None
        BACKUP.unlink(missing_ok=True)

    @staticmethod
    def recover_leftover():
        if BACKUP.exists():
            saved = json.loads(BACKUP.read_text())
            if process_alive(saved.get("pid", 0)):
                sys.exit(f"another run (process {saved['pid']}) has {saved['path']} mutated; wait for it to end")
            Path(saved["path"]).write_text(saved["text"])
            BACKUP.unlink()
            print(f"restored {saved['path']} left mutated by an earlier run", file=sys.stderr)


def run_group(command, timeout, log):
    """Runs a command in its own process group; on timeout ends that group. Returns (rc, text)."""
    with open(log, "w") as sink:
        process = subprocess.Popen(command, stdout=sink, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            rc = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            rc = None
        except KeyboardInterrupt:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise
    return rc, Path(log).read_text(errors="replace")


def parse_failures(ctest_output):
    """Failed test executables and QtTest functions from ctest's --output-on-failure text."""
    failed = re.findall(r"^\s*\d+ - (\S+) \(([^)]*)\)", ctest_output, re.M)
    functions = []
    current = None
    for line in ctest_output.splitlines():
        start = re.search(r"Test\s+#\d+: (\S+) \.+", line)
        if start:
            current = start.group(1)
        match = FAIL_LINE.match(line)
        if match and match.group(1) not in functions:
            functions.append(match.group(1))
        elif current and any(marker in line for marker in CRASH_MARKERS):
            tag = f"{current}::<crash>"
            if tag not in functions:
                functions.append(tag)
    for name, how in failed:
        if how.lower().startswith(("timeout", "subprocess aborted", "seg", "child aborted")):
            tag = f"{name}::<{how.lower()}>"
            if tag not in functions:
                functions.append(tag)
    return [name for name, _ in failed], functions


def run_mutant(mutant, args, known_tests, restorer, logs, baseline):
    outcome = Outcome(mutant.ident, mutant.description)
    tests = tests_for(mutant.path, known_tests)
    outcome.tests_run = tests
    if not tests:
        outcome.status = "skipped"
        return outcome
    started = time.monotonic()
    restorer.mutate(mutant)
    try:
        rc, text = run_group(["nice", "-n", "19", "ninja", "-C", str(args.build), *tests, *RUNTIME_TARGETS],
                             BUILD_SECONDS, logs / f"{mutant.ident}.build.log")
        if rc != 0:
            outcome.status = "no-build"
            return outcome
        regex = "^(" + "|".join(re.escape(t) for t in tests) + ")$"
        rc, text = run_group(["nice", "-n", "19", "ctest", "--test-dir", str(args.build), "-R", regex,
                              "-LE", "hylafax", "-j", str(args.jobs), "--output-on-failure",
                              *(["--stop-on-failure"] if args.first_failure else [])],
                             args.test_timeout, logs / f"{mutant.ident}.test.log")
        if rc is None:
            outcome.failed_tests, outcome.functions = ["(all)"], ["<timeout of the whole run>"]
        else:
            outcome.failed_tests, outcome.functions = parse_failures(text)
            # What already fails without the mutant is no catch.
            outcome.functions = [f for f in outcome.functions if f not in baseline["functions"]]
            outcome.failed_tests = [t for t in outcome.failed_tests
                                    if t not in baseline["tests"] or any(f.startswith(t + "::") for f in outcome.functions)]
        if outcome.failed_tests:
            outcome.status = "caught"
            if not outcome.functions:
                outcome.functions = [f"{t}::<failed>" for t in outcome.failed_tests]
    finally:
        restorer.restore()
        outcome.seconds = round(time.monotonic() - started, 1)
    return outcome


def stop_on_signal(*_):
    """A SIGTERM ends the run like Ctrl-C, so the mutated file is put back."""
    raise KeyboardInterrupt


def run_baseline(mutants, args, known_tests, logs):
    """Runs every mapped test once without a mutant: what fails there is no catch later."""
    tests = sorted({t for m in mutants for t in tests_for(m.path, known_tests)})
    rc, _ = run_group(["nice", "-n", "19", "ninja", "-C", str(args.build), *tests, *RUNTIME_TARGETS], BUILD_SECONDS * 3,
                      logs / "baseline.build.log")
    if rc != 0:
        sys.exit(f"the unmutated tree does not build; see {logs / 'baseline.build.log'}")
    regex = "^(" + "|".join(re.escape(t) for t in tests) + ")$"
    rc, text = run_group(["nice", "-n", "19", "ctest", "--test-dir", str(args.build), "-R", regex, "-LE", "hylafax",
                          "-j", str(args.jobs), "--output-on-failure"], args.test_timeout * 3, logs / "baseline.test.log")
    failed, functions = parse_failures(text) if rc is not None else (tests, [])
    baseline = {"tests": failed, "functions": functions}
    (args.out / "baseline.json").write_text(json.dumps(baseline, indent=1))
    if failed:
        print(f"already failing without a mutant: {failed} {functions}", flush=True)
    return baseline


def markdown(outcomes):
    rows = ["| mutant | description | caught by | caught |", "|---|---|---|---|"]
    for o in outcomes:
        caught = {"caught": "yes", "survived": "**no**"}.get(o.status, o.status)
        by = ", ".join(o.functions) if o.status == "caught" else ""
        rows.append(f"| {o.ident} | {o.description} | {by} | {caught} |")
    counted = [o for o in outcomes if o.status in ("caught", "survived")]
    caught = sum(o.status == "caught" for o in counted)
    rate = 100.0 * caught / len(counted) if counted else 0.0
    rows.append("")
    rows.append(f"Caught {caught} of {len(counted)} ({rate:.0f}%); "
                f"not compiled {sum(o.status == 'no-build' for o in outcomes)}, "
                f"no tests mapped {sum(o.status == 'skipped' for o in outcomes)}.")
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    parser.add_argument("--mutants", type=Path, default=ROOT / "bench" / "mutation" / "mutants.txt")
    parser.add_argument("--only", default="", help="comma-separated mutant ids")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "mutation")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--test-timeout", type=int, default=420, help="seconds for one mutant's tests")
    parser.add_argument("--baseline", type=Path, help="baseline.json of an earlier run on the same tree, instead of a new one")
    parser.add_argument("--first-failure", action="store_true",
                        help="stop a mutant's tests at the first failing one: faster, but names fewer catchers")
    parser.add_argument("--check", action="store_true", help="only check that every snippet is found once")
    parser.add_argument("--report", default="", help="comma-separated output folders of earlier runs: "
                        "print their joint table and write it, with the matrix, to --out")
    args = parser.parse_args()

    if args.report:
        # A later folder's result for a mutant replaces an earlier one's: a rerun after a change.
        joined = {}
        for folder in args.report.split(","):
            for entry in json.loads((Path(folder) / "matrix.json").read_text()):
                joined[entry["ident"]] = Outcome(**entry)
        outcomes = sorted(joined.values(), key=lambda o: o.ident)
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "matrix.json").write_text(json.dumps([o.__dict__ for o in outcomes], indent=1))
        (args.out / "table.md").write_text(markdown(outcomes) + "\n")
        write_matrix_csv(outcomes, args.out / "matrix.csv")
        print(markdown(outcomes))
        return
    mutants = read_mutants(args.mutants)
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m.ident in wanted]
    problems = locate(mutants)
    if problems:
        sys.exit("\n".join(problems))
    if args.check:
        for m in mutants:
            print(f"{m.ident}\t{m.path.relative_to(ROOT)}")
        return

    Restorer.recover_leftover()
    known_tests = list_tests(args.build)
    logs = args.out / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    restorer = Restorer()
    if args.baseline:
        baseline = json.loads(args.baseline.read_text())
    else:
        baseline = run_baseline(mutants, args, known_tests, logs)
    signal.signal(signal.SIGTERM, stop_on_signal)
    outcomes = []
    try:
        for mutant in mutants:
            outcome = run_mutant(mutant, args, known_tests, restorer, logs, baseline)
            outcomes.append(outcome)
            print(f"{outcome.ident}: {outcome.status} in {outcome.seconds} s {outcome.functions}", flush=True)
            (args.out / "matrix.json").write_text(json.dumps([o.__dict__ for o in outcomes], indent=1))
    except KeyboardInterrupt:
        print("interrupted; the mutated file is back in place", file=sys.stderr)
    finally:
        restorer.restore()
    table = markdown(outcomes)
    (args.out / "table.md").write_text(table + "\n")
    write_matrix_csv(outcomes, args.out / "matrix.csv")
    print(table)


def write_matrix_csv(outcomes, path):
    """One row per test function, one column per mutant: 1 where that function caught it."""
    functions = sorted({f for o in outcomes for f in o.functions if o.status == "caught"})
    lines = ["function," + ",".join(o.ident for o in outcomes)]
    for function in functions:
        cells = ["1" if function in o.functions else "" for o in outcomes]
        lines.append(function + "," + ",".join(cells))
    path.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Fault campaign against the real fax service (run by hand, never in CI).

    bench/faxservice/fault_campaign.py [BUILD_DIR] [--cycles N]

On a private session bus with a fresh home it repeats: kill -9 of sendmere-faxd while it
renders and while it sends (N cycles, 100 by default), a disk that fills and frees (the spool
on a tmpfs, which needs root; skipped otherwise), a deleted and a truncated spool database.
Every submission goes through the console sendmere-fax with a subject of its own. At the end
it waits for the queue to drain and prints

    submitted / sent / failed-with-reason / lost / duplicated

lost (an accepted fax in no list) and duplicated (one submission sent twice) must be 0; the
exit code is 1 otherwise.
"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


class Campaign:
    def __init__(self, build):
        self.console = os.path.join(build, "bin/sendmere-fax")
        self.accepted = {}   # subject -> ids the console printed
        self.refused = {}    # subject -> the console's reason
        self.submitted = 0
        self.spool = os.path.join(os.environ["XDG_DATA_HOME"], "sendmere/fax")
        self.body_text = os.path.join(os.environ["TMPDIR"], "body.txt")
        with open(self.body_text, "w") as f:
            f.write("a line of the campaign's fax body\n" * 60 * 12)  # 12 pages to render

    def fax(self, *args, timeout=200):
        return run([self.console, *args], timeout=timeout)

    def daemon_pid(self):
        out = run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                   "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:org.sendmere.Fax"])
        parts = out.stdout.split()
        return int(parts[-1]) if out.returncode == 0 and parts else 0

    def kill9(self):
        pid = self.daemon_pid()
        if pid:
            os.kill(pid, 9)
            for _ in range(100):
                if not self.daemon_pid():
                    break
                time.sleep(0.05)
        return pid

    def submit_async(self, subject):
        self.submitted += 1
        return subject, subprocess.Popen([self.console, "send", "--to", "5550100", "--subject", subject, self.body_text],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def collect(self, pending):
        subject, proc = pending
        out, err = proc.communicate(timeout=300)
        if proc.returncode == 0 and out.split():
            self.accepted[subject] = out.split()
        else:
            self.refused[subject] = (err or out).strip().splitlines()[-1:] or ["(no text)"]
            with open(os.path.join(os.environ["TMPDIR"], "..", "refused.txt"), "a") as f:
                f.write("== %s rc=%s\n%s%s\n" % (subject, proc.returncode, out, err))

    def listing(self, what):
        for _ in range(5):
            out = self.fax("list", what, "--json")
            if out.returncode == 0:
                return json.loads(out.stdout or "[]")
            time.sleep(1)
        raise SystemExit("cannot list %s: %s" % (what, out.stderr))

    def kill_cycles(self, cycles):
        for n in range(cycles):
            pending = self.submit_async("kill-%d" % n)
            # Sometimes while the body renders, sometimes while an earlier job is on the line.
            time.sleep(random.uniform(0.05, 1.5))
            self.kill9()
            self.collect(pending)
            if n % 10 == 9:
                print("  %d kill -9 cycles" % (n + 1), flush=True)

    def disk_fills_and_frees(self):
        filler = os.path.join(self.spool, "filler")
        with open(filler, "wb") as f:
            try:
                while True:
                    f.write(b"x" * 65536)
                    f.flush()
            except OSError:
                pass
        for n in range(4):
            self.collect(self.submit_async("full-%d" % n))
        time.sleep(3)
        queue = self.listing("queue")
        waiting = [j for j in queue if j.get("ExtendedStatus", "").startswith("Postponed")]
        print("  disk full: %d jobs postponed with a reason, service %s" %
              (len(waiting), "running" if self.daemon_pid() else "GONE"), flush=True)
        os.remove(filler)

    def database_damage(self):
        db = os.path.join(self.spool, "spool.db")
        for damage in ("deleted", "truncated", "half"):
            before = {j["Id"] for j in self.listing("queue")}, {m["Id"] for m in self.listing("sent")}
            self.kill9()
            if damage == "deleted":
                for suffix in ("", "-wal", "-shm"):
                    if os.path.exists(db + suffix):
                        os.remove(db + suffix)
            else:
                size = os.path.getsize(db) // 2 if damage == "half" else 0
                with open(db, "r+b") as f:
                    f.truncate(size)
            after = {j["Id"] for j in self.listing("queue")}, {m["Id"] for m in self.listing("sent")}
            missing = (before[0] | before[1]) - (after[0] | after[1])
            print("  database %s: %d of %d faxes back" % (damage, len(before[0] | before[1]) - len(missing),
                                                           len(before[0] | before[1])), flush=True)

    def drain(self, limit=600):
        deadline = time.time() + limit
        while time.time() < deadline:
            queue = self.listing("queue")
            if not [j for j in queue if j.get("Status") in (1, 2, 64)]:
                return queue
            time.sleep(2)
        return self.listing("queue")

    def report(self, queue):
        sent = self.listing("sent")
        by_subject = {}
        for record in sent:
            by_subject.setdefault(record.get("Subject"), []).append(record["Id"])
        failed_jobs = {j.get("Subject"): j for j in queue}
        sent_count = sum(1 for s in self.accepted if s in by_subject)
        failed = len(self.refused) + sum(1 for s in self.accepted if s not in by_subject and s in failed_jobs
                                         and failed_jobs[s].get("ExtendedStatus"))
        lost = [s for s in self.accepted if s not in by_subject and s not in failed_jobs]
        duplicated = [s for s, ids in by_subject.items() if len(ids) > 1]
        # A refused submission whose fax went out anyway would be a lie to its user.
        refused_but_sent = [s for s in self.refused if s in by_subject]
        print("submitted %d / sent %d / failed-with-reason %d / lost %d / duplicated %d"
              % (self.submitted, sent_count, failed, len(lost), len(duplicated)))
        if refused_but_sent:
            print("refused, then sent once all the same (the client retried under its submission id): %d"
                  % len(refused_but_sent))
        reasons = {}
        for text in self.refused.values():
            reasons[text[0][:90]] = reasons.get(text[0][:90], 0) + 1
        for text, count in sorted(reasons.items(), key=lambda item: -item[1]):
            print("  refused %3d: %s" % (count, text))
        if lost:
            print("LOST:", lost)
        if duplicated:
            print("DUPLICATED:", duplicated)
        return 1 if lost or duplicated else 0


def inner(build, cycles):
    conf = os.path.join(os.environ["XDG_CONFIG_HOME"], "sendmere")
    os.makedirs(conf, exist_ok=True)
    with open(os.path.join(conf, "faxd.conf"), "w") as f:
        f.write("[Transmission]\nSecondsPerPage=0.05\nDialDelaySeconds=0.3\n"
                "[Schedule]\nRetryIntervalSeconds=2\n[Service]\nIdleExitMinutes=30\n")
    campaign = Campaign(build)
    os.makedirs(campaign.spool, exist_ok=True)
    mounted = os.geteuid() == 0 and run(["mount", "-t", "tmpfs", "-o", "size=192m,mode=0700", "tmpfs",
                                         campaign.spool]).returncode == 0
    try:
        print("kill -9 during rendering and sending, %d cycles" % cycles, flush=True)
        campaign.kill_cycles(cycles)
        if mounted:
            campaign.disk_fills_and_frees()
        else:
            print("  disk full: skipped (no tmpfs could be mounted; run as root)")
        campaign.database_damage()
        print("waiting for the queue to drain", flush=True)
        return campaign.report(campaign.drain())
    finally:
        campaign.kill9()
        if mounted:
            run(["umount", "-l", campaign.spool])


def main():
    args = sys.argv[1:]
    if args and args[0] == "--inner":
        sys.exit(inner(args[1], int(args[2])))
    cycles = 100
    if "--cycles" in args:
        cycles = int(args[args.index("--cycles") + 1])
        del args[args.index("--cycles"):args.index("--cycles") + 2]
    build = os.path.abspath(args[0] if args else "build")
    root = tempfile.mkdtemp(prefix="sendmere-campaign.")
    env = dict(os.environ)
    for name, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                      ("XDG_STATE_HOME", "state"), ("XDG_CACHE_HOME", "cache"), ("TMPDIR", "tmp")):
        env[name] = os.path.join(root, sub)
        os.makedirs(env[name])
    env["XDG_RUNTIME_DIR"] = os.path.join(root, "runtime")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    env["QT_QPA_PLATFORM"] = "offscreen"
    env["SENDMERE_TEST_BIN_DIR"] = os.path.join(build, "bin")
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    rc = subprocess.call(["dbus-run-session", "--", sys.executable, os.path.abspath(__file__), "--inner", build, str(cycles)], env=env)
    print("service log: %s/state/sendmere/faxd.log" % root)
    sys.exit(rc)


if __name__ == "__main__":
    main()

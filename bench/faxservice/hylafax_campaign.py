#!/usr/bin/env python3
"""Fault campaign of the HylaFAX line against the real fax lab (run by hand, never in CI; as root).

    bench/faxservice/hylafax_campaign.py [BUILD_DIR] [--cycles N]

It starts the fax lab (tests/support/hylafax-lab.sh: HylaFAX with two software modems that
fax each other), points a fresh sendmere-faxd on a private session bus at it and repeats N
times (10 by default): a fax submitted with the console, then at a random moment either a
kill -9 of sendmere-faxd or a stop of the server's hfaxd for a few seconds (started again on
the same port). Then it waits until the queue has drained (each fax takes about 30 s on the
lab's one pair of modems) and prints

    submitted / sent / failed-with-reason / lost / sent-twice

lost (an accepted fax that is in no list) and sent-twice (one Sendmere job that became more
than one server job, or more faxes received than sent) must be 0; the exit code is 1 otherwise.
"""
import glob
import os
import random
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fault_campaign import Campaign, run  # noqa: E402

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
LAB_SCRIPT = os.path.join(SOURCE, "tests/support/hylafax-lab.sh")


class Lab:
    """The lab's hfaxd can be stopped and started again on its port; the rest runs on."""

    def __init__(self, directory):
        self.dir = directory
        self.env = {}

    def start(self):
        out = run(["bash", LAB_SCRIPT, "start", self.dir, str(os.getpid())])
        if out.returncode != 0:
            raise SystemExit("the fax lab did not start:\n" + out.stderr)
        with open(os.path.join(self.dir, "lab.env")) as f:
            self.env = dict(line.strip().split("=", 1) for line in f if "=" in line)

    def stop(self):
        run(["bash", LAB_SCRIPT, "stop", self.dir])

    def server_stop(self):
        """hfaxd goes away with the processes that serve open sessions (the lab's own down)."""
        out = run(["bash", LAB_SCRIPT, "down", self.dir, "hfaxd"])
        if out.returncode != 0:
            print("  hfaxd did not stop: " + out.stderr.strip())
        return out.returncode == 0

    def server_start(self):
        out = run(["bash", LAB_SCRIPT, "up", self.dir, "hfaxd"])
        if out.returncode != 0:
            raise SystemExit("hfaxd did not start again:\n" + out.stderr)

    def server_jobs_per_tag(self):
        counts = {}
        for path in glob.glob(os.path.join(self.env["SPOOL"], "doneq", "q*")) + \
                glob.glob(os.path.join(self.env["SPOOL"], "sendq", "q*")):
            with open(path, errors="replace") as f:
                for tag in set(re.findall(r"sendmere-[0-9a-f]+-[0-9a-f]+", f.read())):
                    counts[tag] = counts.get(tag, 0) + 1
        return counts

    def received(self):
        return len(glob.glob(os.path.join(self.env["SPOOL"], "recvq", "fax*.tif")))


def inner(build, cycles):
    lab = Lab(os.path.join(os.environ["TMPDIR"], "lab"))
    lab.start()
    conf = os.path.join(os.environ["XDG_CONFIG_HOME"], "sendmere")
    os.makedirs(conf, exist_ok=True)
    with open(os.path.join(conf, "faxd.conf"), "w") as f:
        f.write("[Line]\nBackend=hylafax\nServer=127.0.0.1:%s\nUser=fax\nPollSeconds=1\n"
                "[Schedule]\nRetries=4\nRetryIntervalSeconds=10\n[Service]\nIdleExitMinutes=30\n"
                % lab.env["HYLAFAX_PORT"])
    campaign = Campaign(build)
    with open(campaign.body_text, "w") as f:
        f.write("a page of the fault campaign\n")
    number = lab.env["NUMBER_B"]  # one direction: two modems calling each other at once would both be busy
    kills = stops = 0
    try:
        for n in range(cycles):
            subject = "cycle-%d" % n
            campaign.submitted += 1
            pending = subject, subprocess.Popen(
                [campaign.console, "send", "--to", number, "--subject", subject, campaign.body_text],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(random.uniform(0.1, 3.0))
            if random.random() < 0.5:
                campaign.kill9()
                kills += 1
            else:
                if lab.server_stop():
                    time.sleep(random.uniform(1, 6))
                    lab.server_start()
                stops += 1
            campaign.collect(pending)
            print("  cycle %d: %d kill -9 of sendmere-faxd, %d stops of hfaxd" % (n + 1, kills, stops), flush=True)
        print("waiting for the queue to drain", flush=True)
        started = time.time()
        queue = campaign.drain(limit=120 + 60 * cycles)
        print("  drained in %.0f s" % (time.time() - started))
        rc = campaign.report(queue)
        per_tag = lab.server_jobs_per_tag()
        twice = [tag for tag, count in per_tag.items() if count > 1]
        sent = len(campaign.listing("sent"))
        time.sleep(10)  # the last fax's copy reaches the other modem's queue
        print("server: %d jobs for %d Sendmere jobs, %d faxes received for %d sent; sent-twice %d"
              % (sum(per_tag.values()), len(per_tag), lab.received(), sent,
                 len(twice) + max(0, lab.received() - sent)))
        return 1 if rc or twice or lab.received() > sent else 0
    finally:
        campaign.kill9()
        lab.stop()


def main():
    args = sys.argv[1:]
    if args and args[0] == "--inner":
        sys.exit(inner(args[1], int(args[2])))
    cycles = 10
    if "--cycles" in args:
        cycles = int(args[args.index("--cycles") + 1])
        del args[args.index("--cycles"):args.index("--cycles") + 2]
    build = os.path.abspath(args[0] if args else "build")
    root = tempfile.mkdtemp(prefix="sendmere-hylafax-campaign.")
    os.chmod(root, 0o755)  # the fax user must reach the lab's spool inside it
    env = dict(os.environ)
    for name, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                      ("XDG_STATE_HOME", "state"), ("XDG_CACHE_HOME", "cache"), ("TMPDIR", "tmp")):
        env[name] = os.path.join(root, sub)
        os.makedirs(env[name])
    os.chmod(env["TMPDIR"], 0o755)
    env["XDG_RUNTIME_DIR"] = os.path.join(root, "runtime")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    env["QT_QPA_PLATFORM"] = "offscreen"
    env["SENDMERE_TEST_BIN_DIR"] = os.path.join(build, "bin")
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    rc = subprocess.call(["dbus-run-session", "--", sys.executable, os.path.abspath(__file__), "--inner", build, str(cycles)],
                         env=env)
    print("service log: %s/state/sendmere/faxd.log" % root)
    sys.exit(rc)


if __name__ == "__main__":
    main()

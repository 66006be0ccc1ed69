#!/usr/bin/env python3
"""Takeover times of daemons sharing one identifier (MAVO/cluster_lease), for bench/run.sh.

Starts three daemons on a database that bench/fill.sql filled with services of the trivial
plugin, which note each start with the daemon that made it ("ID START_NS PPID"), waits until
they share the services, then, one after the other: kills one with SIGKILL, freezes one with
SIGSTOP (thawed afterwards) and stops one with SIGTERM. For each, the time from the event to
the first run, on another daemon, of each service the member ran last: its median and maximum,
against the bound (the lease, the interval and 2 s; the interval and 2 s for SIGTERM). Before
the stop, THAWS more freezes past the lease and thaws. Also counts the runs of a service that
two daemons started within its interval, over the whole run.

  takeover.py --daemon BIN --dir DIR --starts FILE --pghost H --pgport P --db DB
              --lease S --interval MS [--thaws N]
Prints key=value lines.
"""
import argparse
import os
import signal
import statistics
import subprocess
import time


def config(a, name):
    path = os.path.join(a.dir, name + ".conf")
    with open(path, "w") as f:
        f.write(f"""[LOG]
log_info_file={a.dir}/{name}.status
log_daemon_file={a.dir}/{name}.log

[MAVO]
daemon_id=0
core_number=1
thread_number=4
load_mod=1
interval_check_update=60
verify_state_change=0
wait_state_verify=60
cluster_lease={a.lease}
cluster_node={name}

[POSTGRESQL]
connection_number=2
PGSQL_host={a.pghost}
PGSQL_port={a.pgport}
PGSQL_db={a.db}
PGSQL_username=mavo
PGSQL_pwd=mavo_pw
""")
    return path


def starts(a):
    runs = []
    try:
        with open(a.starts) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3:
                    runs.append((parts[0], int(parts[1]) / 1e9, int(parts[2])))
    except FileNotFoundError:
        pass
    return runs


def taken_over(a, pid, at):
    """Seconds from at to the first run on another daemon of each service pid ran last."""
    last, first_after = {}, {}
    for sid, t, ppid in starts(a):
        if t < at:
            last[sid] = ppid
        elif ppid != pid and sid not in first_after:
            first_after[sid] = t
    times = []
    for sid, runner in last.items():
        if runner == pid:
            times.append(first_after.get(sid, float("inf")) - at)
    return times


def main():
    p = argparse.ArgumentParser()
    for k in ("daemon", "dir", "starts", "pghost", "pgport", "db"):
        p.add_argument("--" + k, required=True)
    p.add_argument("--lease", type=int, default=10)
    p.add_argument("--interval", type=int, default=1000)
    p.add_argument("--thaws", type=int, default=4)
    a = p.parse_args()
    interval = a.interval / 1000.0
    procs = {}
    for name in ("t1", "t2", "t3"):
        with open(os.path.join(a.dir, name + ".out"), "w") as out:
            procs[name] = subprocess.Popen([a.daemon, "-f", config(a, name)], stdout=out,
                                           stderr=subprocess.STDOUT)
    for name, proc in procs.items():
        print(f"{name}_pid={proc.pid}")
    try:
        # Shared: every daemon runs services.
        deadline = time.time() + 60
        while time.time() < deadline:
            recent = {ppid for _, t, ppid in starts(a) if t > time.time() - 2}
            if len(recent) == 3:
                break
            time.sleep(0.5)
        time.sleep(a.lease + 2)
        results = {}
        for event, name, sig, wait in (("kill", "t3", signal.SIGKILL, a.lease + 5),
                                       ("freeze", "t2", signal.SIGSTOP, a.lease + 5),
                                       ("stop", "t1", signal.SIGTERM, interval + 5)):
            pid = procs[name].pid
            at = time.time()
            os.kill(pid, sig)
            time.sleep(wait)
            results[event] = taken_over(a, pid, at)
            print(f"{event}_at={at:.3f}")
            if event == "freeze":
                os.kill(pid, signal.SIGCONT)
                time.sleep(a.lease + 5)  # it joins again and gets its share back
                # More freezes past the lease and thaws, for the count of runs by two daemons:
                # a member wakes up with runs it had admitted before it froze.
                for n in range(a.thaws):
                    other = procs[("t1", "t2")[n % 2]].pid
                    os.kill(other, signal.SIGSTOP)
                    time.sleep(a.lease + 1.5)
                    os.kill(other, signal.SIGCONT)
                    time.sleep(a.lease + 3)
        # Two runs of a service by two daemons within its interval.
        by = {}
        for sid, t, ppid in sorted(starts(a), key=lambda r: r[1]):
            by.setdefault(sid, []).append((t, ppid))
        pairs = [(sid, t1, p1, t2, p2) for sid, runs in by.items()
                 for (t1, p1), (t2, p2) in zip(runs, runs[1:])
                 if p1 != p2 and t2 - t1 < interval - 0.05]
        twice = len(pairs)
        for sid, t1, p1, t2, p2 in pairs:
            print(f"twice_run=service {sid}: {t1:.3f} by {p1}, {t2:.3f} by {p2}")
        for event, times in results.items():
            bound = (interval + 2) if event == "stop" else (a.lease + interval + 2)
            finite = [t for t in times if t != float("inf")]
            print(f"{event}_services={len(times)}")
            print(f"{event}_never={len(times) - len(finite)}")
            print(f"{event}_median_s={statistics.median(finite) if finite else 0:.2f}")
            print(f"{event}_max_s={max(finite) if finite else 0:.2f}")
            print(f"{event}_bound_s={bound:.1f}")
        print(f"thaws={a.thaws + 1}")
        print(f"twice={twice}")
    finally:
        for proc in procs.values():
            if proc.poll() is None:
                try:
                    os.kill(proc.pid, signal.SIGCONT)
                    proc.terminate()
                    proc.wait(timeout=60)
                except Exception:
                    proc.kill()


if __name__ == "__main__":
    main()

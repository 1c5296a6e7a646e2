"""What the LAMMPS check scripts of the builders share: the report of each
check, the copper potential of the Debian package, quelm-batch runs, LAMMPS
data files, dumps and logs."""
import glob
import os
import subprocess
import sys

import numpy as np

BATCH = sys.argv[1] if len(sys.argv) > 1 else "build/app/quelm-batch"
WIDTH = 52  # of the check names in the report

failures = []


def report(name, ok, figures):
    print("  %-*s %s  %s" % (WIDTH, name, figures, "ok" if ok else "FAIL"))
    if not ok:
        failures.append(name)


def potential():
    for p in ["/usr/share/lammps/potentials/Cu_u3.eam"] + glob.glob("/usr/share/**/Cu_u3.eam", recursive=True):
        if os.path.isfile(p):
            return p
    r = subprocess.run(["dpkg", "-L", "lammps"], capture_output=True, text=True)
    for line in r.stdout.split("\n"):
        if line.endswith("/Cu_u3.eam"):
            return line
    raise RuntimeError("Cu_u3.eam not found: install the Debian package lammps")


# ---------------------------------------------------------------- files, programs

def quelm(kind, labels, out):
    args = [BATCH, "build", kind] + ["-%s=%s" % kv for kv in labels] + ["-o", out]
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s: exit %d: %s" % (" ".join(args), r.returncode, r.stderr.strip()))
    return r.stdout


def read_data(path):
    lines = open(path).read().split("\n")
    n = None
    box = np.zeros((3, 2))
    for k, line in enumerate(lines):
        w = line.split()
        if len(w) >= 2 and w[-1] == "atoms":
            n = int(w[0])
        elif len(w) == 4 and w[3] in ("xhi", "yhi", "zhi"):
            box["xyz".index(w[3][0])] = [float(w[0]), float(w[1])]
        elif w and w[0] == "Atoms":
            rows = [l.split() for l in lines[k + 1:] if l.strip()][:n]
            ids = np.array([int(r[0]) for r in rows])
            pos = np.array([[float(v) for v in r[2:5]] for r in rows])
            order = np.argsort(ids)
            return box, ids[order], pos[order]
    raise RuntimeError("no Atoms section in " + path)


def read_dump(path):
    lines = open(path).read().split("\n")
    head = [k for k, l in enumerate(lines) if l.startswith("ITEM: ATOMS")][-1]
    names = lines[head].split()[2:]
    rows = np.array([[float(v) for v in l.split()] for l in lines[head + 1:] if l.strip()])
    cols = {name: rows[:, k] for k, name in enumerate(names)}
    order = np.argsort(cols["id"])
    return {name: v[order] for name, v in cols.items()}


def lammps(tmp, name, text):
    path = os.path.join(tmp, "in." + name)
    with open(path, "w") as f:
        f.write(text)
    log = os.path.join(tmp, "log." + name)
    r = subprocess.run(["lmp", "-in", path, "-log", log, "-screen", "none"], capture_output=True, text=True, cwd=tmp)
    if r.returncode != 0:
        tail = open(log).read()[-600:] if os.path.exists(log) else ""
        raise RuntimeError("lmp %s failed: %s" % (name, (r.stdout + r.stderr + tail).strip()[-600:]))
    return open(log).read()


def thermo_rows(log, first):
    """The thermo lines following each header starting with `first`."""
    rows = []
    lines = log.split("\n")
    for k, line in enumerate(lines):
        if line.split()[:1] == [first]:
            names = line.split()
            for l in lines[k + 1:]:
                w = l.split()
                if len(w) != len(names):
                    break
                try:
                    rows.append(dict(zip(names, map(float, w))))
                except ValueError:
                    break
    return rows

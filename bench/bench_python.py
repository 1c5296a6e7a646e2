#!/usr/bin/python3
"""Times the Python module on the 1,000,188-atom fcc copper crystal (63^3
cells, a = 3.615) that the other benchmarks use, against quelm-batch as a
whole process and against ASE:

  - quelm.read(path) in the interpreter beside `quelm-batch info PATH`, and
    beside a whole `python3 -c "quelm.read(...)"` process;
  - quelm.analyse(model, "cna") alone, and quelm.read + quelm.analyse beside
    `quelm-batch analyse PATH --method cna` (summary only, no dump), whose
    time includes reading the file;
  - obtaining Model.positions for 1,000, 100,000 and 1,000,188 atoms: a view
    of the model's memory, so its time must not grow with the atoms (a copy
    of the 1,000,188 positions is timed beside it for scale);
  - ase.io.read(path, format="lammps-data") of the same file, once.

Every atom of the crystal must come out as fcc, from the module and from
quelm-batch; a wrong result makes the exit code 1.

Run from the source folder after building the module and the program:

  flock /tmp/quelm-build.lock cmake --build build -j2 --target quelm_python quelm-batch
  /usr/bin/python3 bench/bench_python.py [--quelm-batch PATH] [--keep DIR]

The module is taken from PYTHONPATH when it is there, else from
build/python. --keep DIR makes the data files in DIR and reuses them on the
next run; without it they go to a temporary folder that is removed at the
end. Times are in seconds, medians of 3 runs with the fastest in brackets.
"""

import argparse
import gc
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = 3
ATOMS = 1000188
LATTICE = 3.615

# name -> (fcc cells along x, y, z), each of 4 atoms
SIZES = {"cu1k.lmp": (5, 5, 10), "cu100k.lmp": (25, 25, 40), "cu1m.lmp": (63, 63, 63)}


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(2)


def import_quelm():
    """The module, from PYTHONPATH or else from build/python, and the folder
    holding it (handed on to the python3 processes timed whole)."""
    try:
        import quelm
    except ImportError:
        sys.path.insert(0, os.path.join(SOURCE, "build", "python"))
        try:
            import quelm
        except ImportError as e:
            fail(f"the module quelm does not import ({e}): build the target quelm_python")
    if not hasattr(quelm, "read") or not hasattr(quelm, "analyse"):
        fail(f"the module quelm at {quelm.__file__} has no read or analyse: build the target quelm_python")
    where = os.path.dirname(os.path.abspath(quelm.__file__))
    if os.path.basename(quelm.__file__).startswith("__init__."):
        where = os.path.dirname(where)  # a package: its parent folder
    return quelm, where


def figure(times):
    """Median and fastest of a list of seconds."""
    return statistics.median(times), min(times)


def repeated(f, runs=RUNS, before=None):
    """f() timed runs times; before() runs untimed ahead of each."""
    times = []
    for _ in range(runs):
        if before:
            before()
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return figure(times)


def run_to_end(argv, out_path, env=None):
    """Runs argv with its standard output to out_path and waits for it;
    returns (seconds, exit code, peak resident memory in MB)."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    t0 = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ if env is None else env, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    seconds = time.perf_counter() - t0
    return seconds, os.waitstatus_to_exitcode(status), usage.ru_maxrss / 1024.0


def time_process(argv, out_path, env=None, runs=RUNS):
    """argv run `runs` times: (median, fastest), the last exit code, the
    largest peak memory in MB, and what the last run printed."""
    times, peak, code = [], 0.0, 0
    for _ in range(runs):
        seconds, code, memory = run_to_end(argv, out_path, env)
        times.append(seconds)
        peak = max(peak, memory)
    with open(out_path, encoding="utf-8", errors="replace") as f:
        printed = f.read()
    return figure(times), code, peak, printed


def atoms_in_header(path):
    """The atom count a LAMMPS data file's header gives, or -1."""
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            for _ in range(5):
                words = f.readline().split()
                if len(words) == 2 and words[1] == "atoms":
                    return int(words[0])
    except (OSError, ValueError):
        pass
    return -1


def make_files(batch, folder, keep):
    """The crystals of SIZES in folder, made by `quelm-batch build
    monocrystal` (the same bytes as QB_create_fcc + QB_duplicate +
    QB_dump_lmp in the C++ benchmarks); with keep, files already there with
    the right atom count are used as they are. Returns name -> path."""
    paths = {}
    for name, (nx, ny, nz) in SIZES.items():
        path = os.path.join(folder, name)
        want = 4 * nx * ny * nz
        if not (keep and atoms_in_header(path) == want):
            argv = [batch, "build", "monocrystal", f"-M_single_a={LATTICE}", f"-M_single_dpx={nx}",
                    f"-M_single_dpy={ny}", f"-M_single_dpz={nz}", "-o", path]
            _, code, _ = run_to_end(argv, os.path.join(folder, "build.out"))
            if code != 0 or atoms_in_header(path) != want:
                fail(f"quelm-batch build monocrystal did not make {path} of {want} atoms (exit code {code})")
        paths[name] = path
    return paths


def line(what, fig, note=""):
    print(f"{what:<46} {fig[0]:7.3f} ({fig[1]:.3f})  {note}".rstrip())


def ratio(what, value, target):
    print(f"{what:<46} {value:7.2f}          target <= {target:.2f}")


def main():
    parser = argparse.ArgumentParser(description="Times the Python module against quelm-batch and ASE.")
    parser.add_argument("--quelm-batch", default=os.path.join(SOURCE, "build", "app", "quelm-batch"),
                        help="the quelm-batch program (default: build/app/quelm-batch)")
    parser.add_argument("--keep", metavar="DIR", help="make the data files in DIR and reuse them")
    options = parser.parse_args()
    batch = os.path.abspath(options.quelm_batch)
    if not (os.path.isfile(batch) and os.access(batch, os.X_OK)):
        fail(f"{batch} is not a program: build the target quelm-batch or give --quelm-batch")

    quelm, module_dir = import_quelm()
    import numpy as np

    if options.keep:
        folder = os.path.abspath(options.keep)
        os.makedirs(folder, exist_ok=True)
    else:
        folder = tempfile.mkdtemp(prefix="quelm_bench_python")
    out = os.path.join(folder, "process.out")
    right = True
    # The readers' remarks on standard output go to /dev/null until the report.
    sys.stdout.flush()
    saved_stdout = os.dup(1)
    quiet = os.open(os.devnull, os.O_WRONLY)
    os.dup2(quiet, 1)
    os.close(quiet)
    load_before = os.getloadavg()
    try:
        paths = make_files(batch, folder, bool(options.keep))
        big = paths["cu1m.lmp"]
        env = dict(os.environ)
        env["PYTHONPATH"] = module_dir + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")

        # The whole processes first: a child's peak memory counts the
        # memory of this process at the moment it starts the child (until the
        # exec), so they run while this one still holds no model.
        own_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
        info, info_code, info_peak, info_out = time_process([batch, "info", big], out)
        info_right = info_code == 0 and f"{ATOMS} atoms" in info_out
        py_read, py_read_code, py_read_peak, _ = time_process(
            [sys.executable, "-c", "import sys, quelm; sys.exit(len(quelm.read(sys.argv[1])) != %d)" % ATOMS, big],
            out, env)
        whole, whole_code, whole_peak, whole_out = time_process([batch, "analyse", big, "--method", "cna"], out)
        whole_right = whole_code == 0 and f"cna: fcc {ATOMS} (100.0%)" in whole_out
        py_whole, py_whole_code, py_whole_peak, _ = time_process(
            [sys.executable, "-c",
             "import sys, numpy, quelm\n"
             "r = quelm.analyse(quelm.read(sys.argv[1]), 'cna')\n"
             "sys.exit(int(numpy.count_nonzero(numpy.asarray(r['cna']) != 1)) != 0)", big],
            out, env)

        # Reading in the interpreter.
        # The model of the run before is freed ahead of each run, untimed.
        models, results = [], []

        def free():
            models.clear()
            results.clear()
            gc.collect()

        read_in = repeated(lambda: models.append(quelm.read(big)), before=free)
        model = models[0]
        p = model.positions
        read_right = (len(model) == ATOMS and p.shape == (ATOMS, 3)
                      and np.allclose(p[1], [LATTICE / 2, LATTICE / 2, 0])
                      and np.allclose(np.diag(np.asarray(model.cell)), 63 * LATTICE))

        # Adaptive CNA on every core, over the model in memory and with the
        # reading.
        analyse_in = repeated(lambda: results.append(quelm.analyse(model, "cna")), before=results.clear)
        result = results[0]
        labels = np.asarray(result.get("cna", []))
        not_fcc = int(np.count_nonzero(labels != 1)) if labels.size == ATOMS else -1
        p = model = result = labels = None
        both = repeated(lambda: results.append(quelm.analyse(quelm.read(big), "cna")), before=free)
        free()

        # Model.positions: obtaining the view, N = 1k, 100k, 1M.
        calls = 10000
        views = []
        for name in SIZES:
            m = quelm.read(paths[name])
            n = len(m)

            def access():
                for _ in range(calls):
                    m.positions

            fig = repeated(access)
            a, b = m.positions, m.positions
            root = a
            while isinstance(root, np.ndarray) and root.base is not None:
                root = root.base
            shared = (np.shares_memory(a, b) and not a.flags.owndata and a.shape == (n, 3)
                      and a.ctypes.data == b.ctypes.data and not isinstance(root, np.ndarray))
            a[0, 0] += 1.0  # through the view into the model, and back
            shared = shared and m.positions[0, 0] == b[0, 0] and b[0, 0] == a[0, 0]
            a[0, 0] -= 1.0
            copy = repeated(lambda: np.array(m.positions)) if n == ATOMS else None
            views.append((n, fig[0] / calls, fig[1] / calls, shared, type(root).__name__, copy))
            a = b = root = m = None
            gc.collect()

        # ASE, once.
        ase_note, ase_time, ase_right = "", None, True
        try:
            import ase.io
            t0 = time.perf_counter()
            try:
                atoms = ase.io.read(big, format="lammps-data")
            except Exception:  # noqa: BLE001 - ASE takes a data file for style 'full' unless told
                t0 = time.perf_counter()
                atoms = ase.io.read(big, format="lammps-data", style="atomic")
                ase_note = ', style="atomic"'
            ase_time = time.perf_counter() - t0
            ase_right = len(atoms) == ATOMS
            ase_version = ase.__version__
            del atoms
        except ImportError:
            ase_version = None
        load_after = os.getloadavg()

        # The report.
        sys.stdout.flush()
        os.dup2(saved_stdout, 1)
        print(f"fcc copper crystal, {ATOMS:,} atoms, {os.path.getsize(big) / 1e6:.1f} MB data file "
              f"(s, median of {RUNS} runs, fastest in brackets)")
        print(f"{os.cpu_count()} cores, load average {load_before[0]:.2f} before, {load_after[0]:.2f} after; "
              f"numpy {np.__version__}, module {module_dir}")
        print(f"peak memory of the processes timed whole: their own above this script's {own_peak:.0f} MB")
        print("reading")
        line("  quelm.read (in the interpreter)", read_in, "" if read_right else "(WRONG)")
        line("  quelm-batch info (whole process)", info, f"peak {info_peak:.0f} MB" + ("" if info_right else " (WRONG)"))
        line("  python3 -c 'quelm.read' (whole process)", py_read,
             f"peak {py_read_peak:.0f} MB" + ("" if py_read_code == 0 else " (WRONG)"))
        ratio("  quelm.read / quelm-batch info", read_in[0] / info[0], 1.10)
        print("adaptive CNA, every core")
        line("  quelm.analyse(model, \"cna\")", analyse_in, f"atoms not fcc: {not_fcc}")
        line("  quelm.read + quelm.analyse", both)
        line("  quelm-batch analyse --method cna (whole)", whole,
             f"peak {whole_peak:.0f} MB" + ("" if whole_right else " (WRONG)"))
        line("  python3 -c 'read + analyse' (whole process)", py_whole,
             f"peak {py_whole_peak:.0f} MB" + ("" if py_whole_code == 0 else " (WRONG)"))
        ratio("  read + analyse / quelm-batch analyse", both[0] / whole[0], 1.10)
        print(f"{'  python3 process / quelm-batch analyse':<46} {py_whole[0] / whole[0]:7.2f}          "
              "(interpreter start and imports in it)")
        print(f"Model.positions, obtaining the view ({calls} times; microseconds each)")
        for n, median, best, shared, root, copy in views:
            print(f"{'  ' + format(n, ',') + ' atoms':<46} {median * 1e6:7.3f} ({best * 1e6:.3f})  "
                  f"{'view of the model, base ' + root if shared else 'NOT A VIEW (WRONG)'}")
        copy = views[-1][5]
        line(f"  np.array(positions), a copy, {views[-1][0]:,} atoms", copy, "seconds, for scale")
        growth = views[-1][1] / views[0][1]
        ratio(f"  {views[-1][0]:,} atoms / {views[0][0]:,} atoms", growth, 2.0)
        if ase_version is None:
            print("ASE is not installed: no comparison")
        elif ase_time is not None:
            print(f"{'ase.io.read, lammps-data' + ase_note:<46} {ase_time:7.3f}          "
                  f"once, ASE {ase_version}{'' if ase_right else ' (WRONG)'}")
            print(f"{'  ase.io.read / quelm.read':<46} {ase_time / read_in[0]:7.1f}")
        right = (read_right and info_right and py_read_code == 0 and not_fcc == 0 and whole_right
                 and py_whole_code == 0 and all(v[3] for v in views) and ase_right)
        if not right:
            print("a result is WRONG")
    finally:
        sys.stdout.flush()
        os.dup2(saved_stdout, 1)
        if not options.keep:
            shutil.rmtree(folder, ignore_errors=True)
        else:
            for leftover in ("process.out", "build.out"):
                if os.path.exists(os.path.join(folder, leftover)):
                    os.remove(os.path.join(folder, leftover))
    return 0 if right else 1


if __name__ == "__main__":
    sys.exit(main())

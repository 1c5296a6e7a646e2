"""What the tests of the Python package share: where quelm-batch and the
fixtures are, and crystals made once per session with quelm-batch."""
import os
import subprocess

import pytest

SOURCE = os.environ.get("QUELM_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BATCH = os.environ.get("QUELM_BATCH", "quelm-batch")


def batch(*args, check=True):
    """Runs quelm-batch; its completed process (text output)."""
    done = subprocess.run([BATCH, *map(str, args)], capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"quelm-batch {' '.join(map(str, args))} failed:\n{done.stderr}")
    return done


@pytest.fixture(scope="session")
def crystals(tmp_path_factory):
    """cu.lmp (8 x 8 x 8 fcc cells of copper), ni.lmp (nickel) and their
    single cells cu1.lmp and ni1.lmp, made by quelm-batch."""
    folder = tmp_path_factory.mktemp("crystals")
    made = {"folder": folder}
    for name, a, cells in (("cu", 3.615, 8), ("ni", 3.524, 8), ("cu1", 3.615, 1), ("ni1", 3.524, 1)):
        made[name] = str(folder / f"{name}.lmp")
        batch("build", "monocrystal", "-M_single_str=0", f"-M_single_a={a}", f"-M_single_dpx={cells}",
              f"-M_single_dpy={cells}", f"-M_single_dpz={cells}", "--elements", "Ni" if "ni" in name else "Cu",
              "-o", made[name])
    return made

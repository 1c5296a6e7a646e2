"""Quelm Visualizer's core from Python: models as NumPy arrays, structure
files, ASE both ways, the builders, Atomkit and the analyses."""
from os import PathLike
from typing import Any, Callable, Dict, Optional, Sequence, Tuple, Union

from . import atomkit as atomkit
from ._core import Frames as Frames, Model as Model

Path = Union[str, PathLike]
Progress = Optional[Callable[[float, str], Any]]
Crystal = Union[Path, Model]
Vector = Sequence[float]
Rows = Sequence[Sequence[float]]
Elements = Union[str, Sequence[str], None]

STRUCTURE_METHODS: Tuple[str, ...]
ENGINE_METHODS: Tuple[str, ...]
MEASUREMENTS: Tuple[str, ...]

def read(path: Path, frame: Optional[int] = None, *, progress: Progress = None) -> Model: ...
def frames(path: Path) -> Frames: ...
def write(model: Model, path: Path, format: Optional[str] = None) -> None: ...
def from_ase(atoms: Any) -> Model: ...
def analyse(
    model: Model,
    method: str,
    *,
    threads: int = 0,
    reference: Union[Model, Path, None] = None,
    add_columns: bool = False,
    progress: Progress = None,
    **settings: Any,
) -> Dict[str, Any]: ...
def structures() -> list[str]: ...
def monocrystal(*, structure: Union[str, int, None] = None, a: Optional[float] = None, b: Optional[float] = None,
                c: Optional[float] = None, size: Optional[Sequence[int]] = None, orientation: Optional[Rows] = None,
                elements: Elements = None, status: Optional[Path] = None, progress: Progress = None) -> Model: ...
def polycrystal(*, file: Optional[Path] = None, text: Optional[str] = None, log: Optional[Path] = None,
                elements: Elements = None, status: Optional[Path] = None, progress: Progress = None) -> Model: ...
def nanocomposite(*, file: Optional[Path] = None, text: Optional[str] = None, log: Optional[Path] = None,
                  elements: Elements = None, status: Optional[Path] = None, progress: Progress = None) -> Model: ...
def bilayer(*, lower: Optional[Crystal] = None, upper: Optional[Crystal] = None, normal: Union[str, int, None] = None,
            lower_repeat: Optional[Sequence[int]] = None, lower_thickness: Optional[float] = None,
            upper_repeat: Optional[Sequence[int]] = None, upper_thickness: Optional[float] = None,
            vacuum: Optional[float] = None, accept_mismatch: bool = False, elements: Elements = None,
            status: Optional[Path] = None, progress: Progress = None) -> Model: ...
def multilayer(*, lower: Optional[Crystal] = None, upper: Optional[Crystal] = None,
               normal: Union[str, int, None] = None, lower_repeat: Optional[Sequence[int]] = None,
               lower_thickness: Optional[float] = None, upper_repeat: Optional[Sequence[int]] = None,
               upper_thickness: Optional[float] = None, vacuum: Optional[float] = None, period: Optional[int] = None,
               accept_mismatch: bool = False, elements: Elements = None, status: Optional[Path] = None,
               progress: Progress = None) -> Model: ...
def nanoparticle(*, crystal: Optional[Crystal] = None, shape: Union[str, int, None] = None,
                 radius: Optional[float] = None, orientation: Optional[Rows] = None, elements: Elements = None,
                 status: Optional[Path] = None, progress: Progress = None) -> Model: ...
def nanowire(*, crystal: Optional[Crystal] = None, shape: Union[str, int, None] = None,
             axis: Union[str, int, None] = None, radius: Optional[float] = None, height: Optional[float] = None,
             elements: Elements = None, status: Optional[Path] = None, progress: Progress = None) -> Model: ...
def nanosheet(*, crystal: Optional[Crystal] = None, plane: Union[str, int, None] = None,
              center: Optional[Vector] = None, center_unit: Union[str, int, None] = None,
              repeat: Optional[Sequence[int]] = None, thickness: Optional[float] = None,
              vacuum: Optional[float] = None, elements: Elements = None, status: Optional[Path] = None,
              progress: Progress = None) -> Model: ...
def coreshell(*, shell: Optional[Crystal] = None, shape: Union[str, int, None] = None,
              radius: Optional[float] = None, orientation: Optional[Rows] = None,
              core_radius: Optional[float] = None, core_mode: Union[str, int, None] = None,
              core: Optional[Crystal] = None, min_distance: Optional[float] = None, elements: Elements = None,
              status: Optional[Path] = None, progress: Progress = None) -> Model: ...
def dislocation(*, crystal: Optional[Crystal] = None, kind: Union[str, int, None] = None,
                center: Optional[Vector] = None, center_unit: Union[str, int, None] = None,
                line: Optional[Vector] = None, slip: Optional[Vector] = None, burgers: Optional[float] = None,
                poisson: Optional[float] = None, elements: Elements = None, status: Optional[Path] = None,
                progress: Progress = None) -> Model: ...
def crack(*, crystal: Optional[Crystal] = None, mode: Union[str, int, None] = None,
          direction: Union[str, int, None] = None, plane_normal: Union[str, int, None] = None,
          length: Optional[float] = None, shear_modulus: Optional[float] = None, poisson: Optional[float] = None,
          K: Optional[float] = None, elements: Elements = None, status: Optional[Path] = None,
          progress: Progress = None) -> Model: ...
def solution(*, crystal: Optional[Crystal] = None, kind: Union[str, int, None] = None,
             concentration: Optional[float] = None, type: Optional[int] = None, seed: Optional[int] = None,
             cutoff: Optional[float] = None, elements: Elements = None, status: Optional[Path] = None,
             progress: Progress = None) -> Model: ...

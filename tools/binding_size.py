"""Size of the Python binding: lines of py-ortholink/src and the entries it exports.

    python tools/binding_size.py [--src DIR]

Lines are counted over every .cpp and .hpp under the source directory (blank,
comment-only and code lines). Entries are counted on the installed module by
introspection: its public names, plus each class's own methods, properties and
special methods. The last line is lines per entry, the measure of how much
binding code each thing a user can call costs.
"""

from __future__ import annotations

import argparse
import inspect
import pathlib
import types

# Attributes every class has, not written by the binding.
_IMPLICIT = {"__doc__", "__module__", "__dict__", "__weakref__", "__qualname__", "__name__"}


def count_lines(source: pathlib.Path) -> dict[str, int]:
    counts = {"total": 0, "blank": 0, "comment": 0, "code": 0}
    files = sorted(p for p in source.rglob("*") if p.suffix in {".cpp", ".hpp"})
    for path in files:
        in_block = False
        for line in path.read_text(encoding="utf-8").splitlines():
            text = line.strip()
            counts["total"] += 1
            if in_block:
                counts["comment"] += 1
                in_block = "*/" not in text
            elif not text:
                counts["blank"] += 1
            elif text.startswith("//"):
                counts["comment"] += 1
            elif text.startswith("/*"):
                counts["comment"] += 1
                in_block = "*/" not in text
            else:
                counts["code"] += 1
    counts["files"] = len(files)
    return counts


def class_entries(cls: type) -> list[str]:
    names = []
    for name, value in vars(cls).items():
        if name in _IMPLICIT or value is None:
            continue
        # Enumeration members are values of the class, not entries.
        if isinstance(value, cls):
            continue
        if callable(value) or inspect.isdatadescriptor(value) or isinstance(value, staticmethod):
            names.append(name)
    return names


def count_entries(module: types.ModuleType) -> tuple[int, dict[str, list[str]]]:
    public = [name for name in dir(module) if not name.startswith("_")]
    detail: dict[str, list[str]] = {"<module>": public}
    total = len(public)
    for name in public:
        value = getattr(module, name)
        if isinstance(value, type) and value.__module__ == module.__name__:
            entries = class_entries(value)
            detail[name] = entries
            total += len(entries)
    return total, detail


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    root = pathlib.Path(__file__).resolve().parent.parent
    parser.add_argument("--src", type=pathlib.Path, default=root / "py-ortholink" / "src")
    parser.add_argument("--verbose", action="store_true", help="list the entries of each class")
    args = parser.parse_args()

    import ortholink

    lines = count_lines(args.src)
    entries, detail = count_entries(ortholink)
    print(f"files    {lines['files']}")
    for key in ("total", "blank", "comment", "code"):
        print(f"{key:<8} {lines[key]}")
    print(f"entries  {entries}")
    if args.verbose:
        for owner, names in detail.items():
            print(f"  {owner}: {len(names)}: {' '.join(sorted(names))}")
    print(f"lines per entry {lines['total'] / entries:.1f}")


if __name__ == "__main__":
    main()

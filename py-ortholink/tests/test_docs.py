"""The README's code runs as written, and the quick start's path stays within reach."""

import contextlib
import importlib.util
import io
import pathlib
import re
import runpy

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# A block may be preceded by `<!-- needs: trimesh, ... -->` naming optional packages.
BLOCK = re.compile(r"(?:<!-- needs: (?P<needs>[\w, ]+) -->\n)?```python\n(?P<code>.*?)```", re.DOTALL)


def readme_blocks():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    for match in BLOCK.finditer(text):
        line = text.count("\n", 0, match.start("code")) + 1
        needs = [name.strip() for name in (match.group("needs") or "").split(",") if name.strip()]
        yield pytest.param(match.group("code"), needs, id=f"README.md:{line}")


def test_the_readme_has_python_blocks():
    assert len(list(readme_blocks())) >= 4


@pytest.mark.parametrize(("code", "needs"), list(readme_blocks()))
def test_readme_block_runs_on_its_own(code, needs):
    for name in needs:
        if importlib.util.find_spec(name) is None:
            pytest.skip(f"needs {name}")
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})


def test_quickstart_path_is_reachable():
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        runpy.run_path(str(ROOT / "examples" / "quickstart.py"), run_name="__main__")
    text = out.getvalue()
    assert "unreachable" not in text
    assert text.count(" mm: ") == 6

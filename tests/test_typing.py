"""The shipped type stubs agree with the compiled module and reject typical mistakes."""

import importlib.metadata
import json
import re
import runpy
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

import kestrum

ROOT = Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
EXAMPLES = ROOT / "examples"

# "path:line: error: message  [code]"
MYPY_ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")
EXPECTED = re.compile(r"# error: (?P<codes>[a-z-]+(?:, [a-z-]+)*)$")


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(cache: Path, *targets: Path) -> subprocess.CompletedProcess[str]:
    # Run outside the source tree so that only the installed stubs can satisfy `import kestrum`.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache)]
        + [str(target) for target in targets],
        cwd=cache,
        capture_output=True,
        text=True,
        check=False,
    )


def errors_by_line(output: str, path: Path) -> Counter[tuple[int, str]]:
    found: Counter[tuple[int, str]] = Counter()
    for line in output.splitlines():
        match = MYPY_ERROR.match(line)
        assert match or ": note: " in line, f"unexpected mypy output: {line}"
        if match:
            assert Path(match["path"]).resolve() == path, f"error outside {path.name}: {line}"
            found[int(match["line"]), match["code"]] += 1
    return found


def test_accepted_calls_type_check_and_run(mypy_cache: Path) -> None:
    accepted = TYPING / "accepted.py"
    result = run_mypy(mypy_cache, accepted)
    assert result.returncode == 0, result.stdout + result.stderr
    runpy.run_path(str(accepted), run_name="accepted")


def test_mistakes_are_rejected_exactly_where_marked(mypy_cache: Path) -> None:
    mistakes = TYPING / "mistakes.py"
    expected: Counter[tuple[int, str]] = Counter()
    for number, text in enumerate(mistakes.read_text().splitlines(), start=1):
        if marker := EXPECTED.search(text):
            expected.update((number, code) for code in marker["codes"].split(", "))
    assert len(expected) > 20

    result = run_mypy(mypy_cache, mistakes)
    assert result.returncode == 1, result.stdout + result.stderr
    assert errors_by_line(result.stdout, mistakes) == expected


def test_examples_pass_strict(mypy_cache: Path) -> None:
    if not any(EXAMPLES.glob("*.py")):
        pytest.skip("no examples yet")
    result = run_mypy(mypy_cache, EXAMPLES)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_match_runtime(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kestrum"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_stubs_sit_beside_the_module() -> None:
    try:
        distribution = importlib.metadata.distribution("kestrum")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("kestrum is importable but was not installed as a distribution")
    direct_url = json.loads(distribution.read_text("direct_url.json") or "{}")
    if direct_url.get("dir_info", {}).get("editable"):
        pytest.skip("an editable install leaves the stubs in the source tree, on its path entry")
    recorded = {str(path) for path in distribution.files or ()}
    assert "kestrum-stubs/__init__.pyi" in recorded
    installed = Path(str(distribution.locate_file("kestrum-stubs/__init__.pyi")))
    if Path(str(distribution.locate_file(""))).resolve() != Path(kestrum.__file__).resolve().parent:
        pytest.skip("kestrum is imported from a build tree, not from its installation")
    assert installed.parent.parent == Path(kestrum.__file__).resolve().parent
    source = ROOT / "kestrum-stubs" / "__init__.pyi"
    if source.exists():
        assert installed.read_text() == source.read_text(), "installed stubs are stale: reinstall"

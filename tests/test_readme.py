"""The README's sessions run as shown, and it offers exactly the two set-up commands."""

import doctest
import re
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCED = re.compile(r"^( *)```(\w*)\n(.*?)^\1```$", re.MULTILINE | re.DOTALL)


def fenced_blocks(language: str) -> list[str]:
    text = README.read_text()
    return [textwrap.dedent(body) for _, lang, body in FENCED.findall(text) if lang == language]


@pytest.mark.parametrize("number", range(len(fenced_blocks("pycon"))))
def test_session_runs_as_shown(number: int) -> None:
    session = fenced_blocks("pycon")[number]
    test = doctest.DocTestParser().get_doctest(session, {}, f"README session {number}", None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert runner.failures == 0, "".join(failures)
    assert runner.tries > 3


def test_set_up_commands_are_the_two_documented_ones() -> None:
    assert fenced_blocks("sh") == [
        'python -m pip install "scikit-build-core>=0.11" cmake ninja'
        " && python -m pip install --no-build-isolation . && python examples/tour.py\n",
        'python -m pip install --no-build-isolation --only-binary :all: ".[test]"'
        " && python -m pytest\n",
    ]

"""PyMesh: a path kept as text and given back through the read-only `mesh_path`."""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

import pytest

from kestrum import PyMesh

Construct = Callable[..., Any]

LONG_PATH = "/".join(f"directory-{i}" for i in range(40)) + "/mesh.obj"


@pytest.mark.parametrize(
    "path",
    [
        "",
        "a/b.obj",
        "sixteen-byte.obj",
        "does/not/exist/anywhere.stl",
        " spaced name .obj ",
        "\u00e9\u00e8\u00ea/\u30e1\u30c3\u30b7\u30e5/\U0001f600.obj",
        "line\nbreak\ttab",
        "nul\0inside",
        "\uffff\U0010ffff",
        LONG_PATH,
    ],
)
def test_path_comes_back_unchanged(construct: Construct, path: str) -> None:
    mesh = construct(PyMesh, path)
    assert type(mesh) is PyMesh
    got = mesh.mesh_path
    assert (type(got), got) == (str, path)


def test_every_read_is_a_new_str() -> None:
    path = "".join(["m", "eshes/", LONG_PATH])
    mesh = PyMesh(path)
    first, second = mesh.mesh_path, mesh.mesh_path
    assert first == second == path
    assert first is not second and first is not path


def test_path_is_copied_not_held() -> None:
    path = "".join(["copied/", LONG_PATH])
    before = sys.getrefcount(path)
    mesh = PyMesh(path)
    assert sys.getrefcount(path) == before
    del path
    assert mesh.mesh_path == "copied/" + LONG_PATH


def test_mesh_path_is_read_only() -> None:
    mesh = PyMesh("a.obj")
    with pytest.raises(AttributeError):
        mesh.mesh_path = "b.obj"  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del mesh.mesh_path  # type: ignore[misc]
    with pytest.raises(AttributeError):
        mesh.other = 1  # type: ignore[attr-defined]
    assert mesh.mesh_path == "a.obj"


def test_meshes_release_their_text_and_type() -> None:
    def churn() -> None:
        for i in range(300):
            assert PyMesh(f"{LONG_PATH}-{i}").mesh_path.endswith(f"-{i}")

    churn()
    before = sys.getrefcount(PyMesh)
    churn()
    assert sys.getrefcount(PyMesh) == before

"""The module as the import system and Python's introspection see it."""

import ast
import inspect
import pathlib
import shutil
import subprocess

import pytest

import morvel

ROOT = pathlib.Path(__file__).resolve().parent.parent
FUNCTIONS = [morvel.sax, morvel.paa, morvel.paa_array, morvel.sax_array, morvel.mindist]

# The list functions' signatures, as the binding library renders them.
RENDERED = {
    "paa": "paa(ts: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], "
    "window: typing.SupportsInt | typing.SupportsIndex, "
    "stride: typing.SupportsInt | typing.SupportsIndex = 1, "
    "w: typing.SupportsInt | typing.SupportsIndex = 15) -> list[list[float]]",
    "sax": "sax(ts: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], "
    "window: typing.SupportsInt | typing.SupportsIndex, "
    "stride: typing.SupportsInt | typing.SupportsIndex = 1, "
    "w: typing.SupportsInt | typing.SupportsIndex = 15, "
    "alpha: typing.SupportsInt | typing.SupportsIndex = 4) -> list[list[str]]",
}


def test_exposes_exactly_its_functions_and_the_index():
    public = [name for name in vars(morvel) if not name.startswith("__")]
    assert public == [function.__name__ for function in FUNCTIONS] + ["Index"]


def signature_of(function):
    """(name, default) of each parameter of a parsed `def`, keyword-only ones last."""
    arguments = function.args.args + function.args.kwonlyargs
    defaults = (
        [None] * (len(function.args.args) - len(function.args.defaults))
        + function.args.defaults
        + function.args.kw_defaults
    )
    return [(a.arg, None if d is None else ast.literal_eval(d)) for a, d in zip(arguments, defaults, strict=True)]


STUB = {
    node.name: node
    for node in ast.parse((ROOT / "module" / "morvel.pyi").read_text()).body
    if isinstance(node, ast.FunctionDef)
}


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda function: function.__name__)
def test_signature_and_docstring_have_one_source(function):
    """The module renders each signature and carries each docstring; the stub
    declares the same parameters and defaults and the same text, and a call
    refused for its arguments lists the same signature."""
    rendered, blank, *text = function.__doc__.splitlines()
    assert blank == "" and rendered.startswith(function.__name__ + "(")
    assert rendered == RENDERED.get(function.__name__, rendered)
    declared = STUB[function.__name__]
    assert signature_of(declared) == signature_of(ast.parse(f"def {rendered}: ...").body[0])
    assert ast.get_docstring(declared) == "\n".join(text).strip()
    with pytest.raises(TypeError) as refused:
        function(object(), object(), object(), object())
    assert f"1. {rendered.removeprefix(function.__name__)}" in str(refused.value)


INDEX_STUB = next(
    node
    for node in ast.parse((ROOT / "module" / "morvel.pyi").read_text()).body
    if isinstance(node, ast.ClassDef) and node.name == "Index"
)


@pytest.mark.parametrize(
    "member",
    [None, "query", "matrix_profile", "discords", "motifs", "profile", "save", "load", "stats", "nbytes", "exclude"],
)
def test_index_stub_carries_the_module_docstrings(member):
    """What a reader of the stub sees of Index is what help() shows."""
    if member is None:
        declared, text = INDEX_STUB, morvel.Index.__doc__
    else:
        declared = next(node for node in INDEX_STUB.body if getattr(node, "name", None) == member)
        static = inspect.getattr_static(morvel.Index, member)
        text = static.__doc__ if isinstance(static, property) else getattr(morvel.Index, member).__doc__
        if not isinstance(static, property):  # after the rendered signature and a blank line
            rendered, blank, *rest = text.splitlines()
            assert rendered.startswith(member + "(") and blank == ""
            text = "\n".join(rest)
    assert ast.get_docstring(declared) == inspect.cleandoc(text)


def test_init_symbol_is_the_only_export():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", morvel.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_morvel"]

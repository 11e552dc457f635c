"""The module's surface and its call frame: registration, documentation, arguments, errors."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import telvora
from conftest import fatal_error_of, layouts

NAMES = ["simulate", "gram_from_dist", "generate_training_batch", "max_independent", "reconstruct", "pebble_game"]
SIGNATURES = {
    "simulate": "(coords, d, tol=None)",
    "gram_from_dist": "(dist)",
    "generate_training_batch": "(n_graphs, n_nodes, d, seed)",
    "max_independent": "(n, d)",
    "reconstruct": "(distance_matrix, d, tol=None)",
    "pebble_game": "(coords, d)",
}


def test_surface():
    assert telvora.__all__ == NAMES
    assert telvora.__doc__ == ""
    own = {name for name in vars(telvora) if not name.startswith("__")}
    assert own == set(NAMES)
    assert not hasattr(telvora, "reconstruct_coords")


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_module(name):
    function = getattr(telvora, name)
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__module__ == "telvora"
    assert function.__name__ == name
    assert function.__doc__ and not function.__doc__.endswith("\n")


def test_docstrings_byte_for_byte():
    assert telvora.max_independent.__doc__ == "Max independent edges for n nodes in d dimensions: nd \u2212 d(d+1)/2"
    doc = telvora.gram_from_dist.__doc__
    assert doc.startswith("Compute the Gram matrix from an Euclidean distance matrix using double-centering.")
    assert "G = \u2212\u00bd \u00b7 H \u00b7 D_sq \u00b7 H   where H = I \u2212 (1/n)\u00b711\u1d40" in doc
    assert "rank \u2264 d" in doc
    assert "same format as `simulate`, one dict per graph" in telvora.generate_training_batch.__doc__
    assert telvora.simulate.__doc__.endswith('  "d"                int')
    assert "Run the Pebble Game algorithm \u2014 O(n^2)" in telvora.pebble_game.__doc__


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [((4, 2), {}, 5), ((), {"n": 4, "d": 2}, 5), ((4,), {"d": 2}, 5), ((3, 2), {}, 3), ((4, 3), {}, 6),
     ((10, 3), {}, 24), ((True, 2), {}, 0), ((np.int64(4), 2), {}, 5), ((1, 2), {}, 0), ((2, 3), {}, 1), ((3, 4), {}, 3), ((1, 3), {}, 0),
     ((0, 0), {}, 0), ((2**62, 2), {}, 2**63 - 3)],
)
def test_max_independent(args, kwargs, expected):
    result = telvora.max_independent(*args, **kwargs)
    assert result == expected and type(result) is int


@pytest.mark.parametrize(
    ("call", "fragment"),
    [
        (lambda: telvora.max_independent(4, d=2, n=1), "multiple values for argument 'n'"),
        (lambda: telvora.max_independent(4), "missing 1 required positional argument: 'd'"),
        (lambda: telvora.max_independent(), "missing 2 required positional arguments: 'n' and 'd'"),
        (lambda: telvora.max_independent(4, 2, 1), "takes 2 positional arguments but 3 were given"),
        (lambda: telvora.simulate(1, 2, 3, 4), "takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: telvora.gram_from_dist(1, 2), r"gram_from_dist\(\) takes 1 positional argument but 2 were given"),
        (lambda: telvora.max_independent(4, 2, m=1), "unexpected keyword argument 'm'"),
        (lambda: telvora.generate_training_batch(1, 2), "'d' and 'seed'"),
        (lambda: telvora.generate_training_batch(), "'n_graphs', 'n_nodes', 'd', and 'seed'"),
    ],
)
def test_standard_argument_errors(call, fragment):
    with pytest.raises(TypeError, match=fragment):
        call()


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("no index here")


@pytest.mark.parametrize(
    ("value", "error"),
    [(4.0, TypeError), ("4", TypeError), (None, TypeError), (-1, OverflowError), (2**64, OverflowError),
     (RaisingIndex(), ZeroDivisionError)],
)
def test_integer_conversion_errors(value, error):
    with pytest.raises(error) as info:
        telvora.max_independent(value, 2)
    if error is TypeError:
        assert "'n'" in str(info.value)


def test_integer_overflow_is_passed_through_unchanged():
    with pytest.raises(OverflowError) as info:
        telvora.max_independent(-1, 2)
    assert "negative" in str(info.value)


def test_max_independent_overflowing_product():
    with pytest.raises(OverflowError, match="64-bit"):
        telvora.max_independent(2**62, 4)


def test_renamed_type_error_keeps_the_cause():
    class FloatWithCause:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError, match="'tol'") as info:
        telvora.simulate(np.zeros((3, 2)), 2, FloatWithCause())
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "bad",
    [[[0, 0], [1, 0], [0, 1]], np.zeros(6), np.zeros((3, 2, 1)), np.zeros((3, 2), np.float32),
     np.zeros((3, 2), np.int64), np.zeros((3, 2), ">f8"), np.zeros((3, 2), complex), None],
)
def test_matrix_arguments_are_never_converted(bad):
    with pytest.raises(TypeError, match="'coords'"):
        telvora.simulate(bad, 2)


def test_parameters_are_converted_in_position_order():
    with pytest.raises(TypeError, match="'coords'"):
        telvora.simulate([[0.0]], "bad", "bad")
    with pytest.raises(TypeError, match="'d'"):
        telvora.simulate(np.zeros((3, 2)), 2.5, "bad")
    with pytest.raises(TypeError, match="'n_nodes'"):
        telvora.generate_training_batch(1, None, -1, 1.5)


def test_tolerance_conversions():
    points = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]])
    assert telvora.simulate(points, 2, None)["final_rank"] == 3
    assert telvora.simulate(points, 2, 1)["final_rank"] == 0  # no entry exceeds 1.0
    assert telvora.simulate(points, 2, 0.5)["final_rank"] == 3
    with pytest.raises(TypeError, match="'tol'"):
        telvora.simulate(points, 2, "1e-9")


def test_subclass_of_ndarray_is_accepted():
    class Tagged(np.ndarray):
        pass

    points = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]).view(Tagged)
    assert telvora.simulate(points, 2)["final_rank"] == 3


@pytest.mark.parametrize("layout", list(layouts(np.zeros((1, 1)))))
def test_every_layout_reads_the_same_values(layout):
    values = np.random.default_rng(3).random((7, 2))
    expected = telvora.simulate(values, 2)
    got = telvora.simulate(layouts(values)[layout], 2)
    assert np.array_equal(got["distance_matrix"], expected["distance_matrix"])
    assert np.array_equal(got["labels"], expected["labels"])


def test_fatal_error_exception():
    error = fatal_error_of(lambda: telvora.generate_training_batch(1, 0, 2, 0))
    assert error.args == ("Node list must not be empty",)
    assert type(error).__name__ == "FatalError"
    try:
        telvora.generate_training_batch(1, 5, 4, 0)
    except Exception:  # noqa: BLE001 - must not be caught here
        pytest.fail("the fatal-error exception was caught by a handler for Exception")
    except BaseException as again:
        assert type(again) is type(error)
    assert telvora.max_independent(4, 2) == 5  # the module stays usable


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_reimport_gives_the_same_module_and_numpy_is_loaded_lazily():
    result = _run(
        """
        import sys
        import telvora
        assert "numpy" not in sys.modules
        assert telvora.max_independent(10, 3) == 24
        assert "numpy" not in sys.modules
        first = telvora
        del sys.modules["telvora"]
        import telvora
        assert telvora is first
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_second_interpreter_is_refused():
    # A legacy (non-isolated) sub-interpreter lets the import reach the module's own check.
    result = _run(
        """
        import telvora
        try:
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
        try:
            failure = interpreters.run_string(interp, "import telvora")
        except Exception as error:
            failure = error
        print(failure)
        """
    )
    assert "ImportError" in result.stdout and "one interpreter per process" in result.stdout, result.stderr

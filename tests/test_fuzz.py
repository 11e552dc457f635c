"""A short fuzz run of every function of telvora and of telvora_graphs' compiled routines, and
the replay of both fuzz corpora.

The harness (fuzz/harness.py) draws arbitrary arguments and knows what each call must do;
fuzz/run.py runs it for as long as wanted. TELVORA_FUZZ_EXAMPLES sets the number of cases
per function here.
"""

import os
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fuzz"))

import corpus  # noqa: E402
import graphs_harness  # noqa: E402
import harness  # noqa: E402

EXAMPLES = int(os.environ.get("TELVORA_FUZZ_EXAMPLES", "600"))


@pytest.mark.parametrize("name", harness.FUNCTIONS)
def test_arbitrary_arguments(name):
    @settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck),
              print_blob=True)
    @given(harness.cases(name))
    def fuzz(case):
        harness.run_case(case)

    fuzz()


@pytest.mark.parametrize("case", corpus.cases(), ids=lambda case: case.name)
def test_corpus(case):
    harness.run_case(case)


@pytest.mark.parametrize("name", graphs_harness.FUNCTIONS)
def test_arbitrary_arguments_to_the_graphs_routines(name):
    @settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck),
              print_blob=True)
    @given(graphs_harness.cases(name))
    def fuzz(case):
        graphs_harness.run_case(case)

    fuzz()


@pytest.mark.parametrize("case", list(graphs_harness.corpus()), ids=lambda case: case.name)
def test_graphs_corpus(case):
    graphs_harness.run_case(case)

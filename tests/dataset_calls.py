"""generate called with the command's vocabulary: the family by name with its options, and the
run's options, as keywords. The tests of what a dataset holds are written that way; this turns
such a call into the objects telvora_datasets.generate takes (a family and an Options)."""

import dataclasses

import telvora_datasets
from telvora_datasets import Options
from telvora_datasets.families import FAMILIES

RUN = {field.name for field in dataclasses.fields(Options)}


def generate(graphs, nodes, dim, seed, out, family="complete", **options):
    run = {name: options.pop(name) for name in list(options) if name in RUN}
    return telvora_datasets.generate(graphs, nodes, dim, seed, out, FAMILIES[family](**options), Options(**run))

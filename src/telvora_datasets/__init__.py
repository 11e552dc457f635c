"""Sharded, reproducible datasets of labelled random frameworks built on telvora."""

__version__ = "0.1.0"

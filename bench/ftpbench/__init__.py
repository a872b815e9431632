"""The benchmark behind `make bench` (bench/bench.py): settings, datasets, servers, tools, runs,
checks, render, and main, which runs them in turn."""

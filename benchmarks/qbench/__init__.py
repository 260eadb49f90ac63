"""Benchmark harness for quorel; run it through benchmarks/run.py."""

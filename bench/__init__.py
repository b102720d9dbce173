"""Micro-benchmarks: each operation of velmora.kestrine against its closest peer."""

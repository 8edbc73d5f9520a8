"""The pure-Python definitions of the searches, which the tests check the modules against and the
benchmarks measure them against:

- `forest`: veltra_search's forest, with exactly the same semantics as the native one;
- `engine_model`: veltra_engine's nodes, trees, policies and search, step by step in single
  precision (`single_precision`), as the model-based tests predict them;
- `engine_search`: veltra_engine's search written as a careful Python developer would, in doubles:
  the speed baseline.

Importable from the repository root; not part of the installed package.
"""

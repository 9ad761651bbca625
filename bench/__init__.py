"""velkor's benchmark suite: the same workloads on asyncio's default loop,
uvloop and velkor, side by side in one interpreter.

Run it with ``./dev bench`` (or ``python3.14 -m bench`` with the built module
on PYTHONPATH); ``--help`` lists the options.
"""

"""Reads a valgrind memcheck log and fails on definite leaks from velkor."""

import re
import sys


def main(path):
    text = open(path).read()
    blocks = re.split(r"\n==\d+== \n", text)
    ours = [b for b in blocks if "definitely lost" in b and "velkor" in b]
    errors = [b for b in blocks if re.search(r"Invalid (read|write|free)|uninitialised", b) and "velkor" in b]
    summary = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", text)
    print("memcheck:", summary.group(0) if summary else "no leak summary", f"({path})")
    for block in ours + errors:
        print(block)
    print(f"memcheck: {len(ours)} definite leaks and {len(errors)} memory errors from velkor")
    return 1 if ours or errors or summary is None else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

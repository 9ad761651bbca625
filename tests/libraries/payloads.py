"""Bodies the library tests send, and the checks on what comes back."""

from __future__ import annotations

import random

SIZES = [0, 1, 1000, 65537, 1024 * 1024 + 7]


def body(size: int, seed: int = 0) -> bytes:
    """`size` bytes, the same for the same size and seed."""
    return random.Random(seed * 1_000_003 + size).randbytes(size)


def upload_pieces() -> list[bytes]:
    """An upload of 256 pieces of slightly different sizes."""
    return [body(4096 + i, seed=i) for i in range(256)]


async def stream(pieces: list[bytes]):
    for piece in pieces:
        yield piece


def check_bytes(got: bytes, want: bytes, what: str = "body") -> None:
    """Asserts got == want, naming the first differing offset (not a diff of megabytes)."""
    if got == want:
        return
    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    raise AssertionError(
        f"{what}: got {len(got)} bytes, want {len(want)}; first difference at offset {at}: "
        f"got {got[at:at + 16]!r}, want {want[at:at + 16]!r}"
    )

"""Text codec throughput against Python's own codecs doing the same job.

Run with the built module on the path, for example:
    PYTHONPATH=/tmp/build-text python benchmarks/bench_text.py
"""

import argparse
import random
import timeit

import vantrel

MIB = 1 << 20

# Word pools for "mixed" text: mostly ASCII prose with accented Latin words,
# typographic punctuation, Greek, Cyrillic, CJK and the odd emoji.
ASCII_WORDS = "the packet field value encoding byte order offset bits recipe telemetry".split()
LATIN_WORDS = "café naïve façade über straße élève garçon señor".split()
WINDOWS_1252_EXTRAS = ["€", "“quoted”", "—", "…", "‘a’", "™", "Œuvre", "Šárka"]
WIDE_WORDS = ["αβγδ", "данные", "数据包", "テレメトリ", "😀", "🚀"]


def mixed_text(pools, weights, size, seed=1):
    """About `size` UTF-8 bytes of words drawn from the pools."""
    rng = random.Random(seed)
    words = []
    length = 0
    while length < size:
        word = rng.choice(rng.choices(pools, weights)[0])
        words.append(word)
        length += len(word.encode()) + 1
    text = " ".join(words)
    return text.encode()[:size].decode("utf-8", "ignore")


def best_seconds(function, argument, number, repeat):
    return min(timeit.repeat(lambda: function(argument), number=number, repeat=repeat)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=20, help="calls per timing")
    parser.add_argument("--repeat", type=int, default=7, help="timings; the best is kept")
    args = parser.parse_args()

    mixed = mixed_text([ASCII_WORDS, LATIN_WORDS, WIDE_WORDS], [80, 12, 8], MIB)
    ascii_only = mixed_text([ASCII_WORDS], [1], MIB)
    windows_1252 = mixed_text([ASCII_WORDS, LATIN_WORDS, WINDOWS_1252_EXTRAS], [80, 12, 8], MIB)
    cp1252_bytes = windows_1252.encode("cp1252")

    cases = [
        ("decode_utf8, mixed", vantrel.decode_utf8, lambda b: b.decode("utf-8"), mixed.encode()),
        (
            "decode_utf8, ASCII",
            vantrel.decode_utf8,
            lambda b: b.decode("utf-8"),
            ascii_only.encode(),
        ),
        (
            "decode_windows_1252, mixed",
            vantrel.decode_windows_1252,
            lambda b: b.decode("cp1252"),
            cp1252_bytes,
        ),
        (
            "decode_windows_1252, ASCII",
            vantrel.decode_windows_1252,
            lambda b: b.decode("cp1252"),
            ascii_only.encode(),
        ),
        ("encode_utf16le, mixed", vantrel.encode_utf16le, lambda s: s.encode("utf-16-le"), mixed),
        (
            "encode_utf16le, ASCII",
            vantrel.encode_utf16le,
            lambda s: s.encode("utf-16-le"),
            ascii_only,
        ),
        (
            "encode_windows_1252, mixed",
            vantrel.encode_windows_1252,
            lambda s: s.encode("cp1252"),
            windows_1252,
        ),
        (
            "decode_utf16le, mixed",
            vantrel.decode_utf16le,
            lambda b: b.decode("utf-16-le"),
            mixed.encode("utf-16-le"),
        ),
        ("encode_utf32le, mixed", vantrel.encode_utf32le, lambda s: s.encode("utf-32-le"), mixed),
    ]

    print(f"best of {args.repeat} x {args.number} calls; input sizes in bytes or characters")
    print(f"{'case':30} {'size':>9} {'vantrel ms':>11} {'python ms':>10} {'ratio':>6}")
    for label, ours, theirs, argument in cases:
        assert ours(argument) == theirs(argument), label
        mine = best_seconds(ours, argument, args.number, args.repeat)
        python = best_seconds(theirs, argument, args.number, args.repeat)
        print(
            f"{label:30} {len(argument):9} {mine * 1e3:11.3f} {python * 1e3:10.3f}"
            f" {mine / python:6.2f}"
        )


if __name__ == "__main__":
    main()

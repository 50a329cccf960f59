"""Text codec times against Python's own codecs doing the same job.

For each codec and each kind of text that both sides accept, prints
vantrel's time, Python's time and their ratio, all measured in one run.
Run with the built module on the path, for example:
    PYTHONPATH=build python benchmarks/bench_text.py
"""

import argparse
import random
import sys
import timeit

import vantrel

MIB = 1 << 20

ASCII_WORDS = "the packet field value encoding byte order offset bits recipe telemetry".split()
ACCENTED_WORDS = "café naïve façade über straße élève garçon señor".split()
# Printable Latin-1: ASCII letters and the upper half past the C1 controls.
LATIN1_CHARACTERS = [chr(c) for c in range(0x20, 0x7F)] + [chr(c) for c in range(0xA0, 0x100)]


def words_text(pools, weights, size, seed=1):
    """About `size` UTF-8 bytes of words drawn from the pools."""
    rng = random.Random(seed)
    words = []
    length = 0
    while length < size:
        word = rng.choice(rng.choices(pools, weights)[0])
        words.append(word)
        length += len(word.encode()) + 1
    return " ".join(words).encode()[:size].decode("utf-8", "ignore")


def characters_text(ranges, size, seed=1):
    """About `size` UTF-8 bytes of characters, each from a range picked evenly."""
    rng = random.Random(seed)
    characters = []
    length = 0
    while length < size:
        low, high = rng.choice(ranges)
        character = chr(rng.randint(low, high))
        characters.append(character)
        length += len(character.encode())
    return "".join(characters)


def text_kinds():
    emoji_words = ["😀", "🚀😀", "🛰️", "👍🏽", "📡📡", "🔥"]
    return {
        "ASCII": words_text([ASCII_WORDS], [1], MIB),
        "Latin-1": "".join(random.Random(2).choices(LATIN1_CHARACTERS, k=MIB * 2 // 3)),
        "accented": words_text([ASCII_WORDS, ACCENTED_WORDS], [85, 15], MIB),
        "1-4 mix": characters_text(
            [(0x20, 0x7E), (0x80, 0x7FF), (0x800, 0xD7FF), (0x10000, 0x10FFFF)], MIB
        ),
        "CJK": characters_text([(0x4E00, 0x9FFF)], MIB),
        "emoji": words_text([emoji_words, ASCII_WORDS], [70, 30], MIB),
    }


def accepts(codec, text):
    try:
        text.encode(codec)
    except UnicodeEncodeError:
        return False
    return True


# (vantrel name, Python codec, the Python job's encoder, its decoder, the
# bytes vantrel's decoder reads). The marked forms write FE FF / 00 00 FE FF
# then big-endian; Python's "utf-16"/"utf-32" write a mark and native order,
# and their decoders honour a big-endian mark: the same job.
CODECS = [
    ("utf8", "utf-8"),
    ("utf16", "utf-16"),
    ("utf16le", "utf-16-le"),
    ("utf16be", "utf-16-be"),
    ("utf32", "utf-32"),
    ("utf32le", "utf-32-le"),
    ("utf32be", "utf-32-be"),
    ("us_ascii", "ascii"),
    ("iso_8859_1", "latin-1"),
    ("windows_1252", "cp1252"),
]


def best_seconds(function, argument, number, repeat):
    return min(timeit.repeat(lambda: function(argument), number=number, repeat=repeat)) / number


def time_pair(ours, theirs, argument, number, repeat):
    """Best times of both, measured in alternation so that both see the same load."""
    mine = python = float("inf")
    for _ in range(repeat):
        mine = min(mine, best_seconds(ours, argument, number, 1))
        python = min(python, best_seconds(theirs, argument, number, 1))
    return mine, python


def run_table(kinds, number, repeat, only, scale, unit):
    """Times every codec on every kind of text both sides accept; returns the
    worst ratio."""
    print(
        f"{'function':28} {'text':9} {'chars':>8} {'vantrel ' + unit:>11}"
        f" {'python ' + unit:>10} {'ratio':>6}"
    )
    worst = 0.0
    for name, codec in CODECS:
        if only not in name:
            continue
        encode = getattr(vantrel, f"encode_{name}")
        decode = getattr(vantrel, f"decode_{name}")
        for kind, text in kinds.items():
            if not accepts(codec, text):
                continue
            size_before = sys.getsizeof(text)
            encoded = encode(text)
            rows = [
                (f"encode_{name}", encode, lambda s, c=codec: s.encode(c), text),
                (f"decode_{name}", decode, lambda b, c=codec: b.decode(c), encoded),
            ]
            for label, ours, theirs, argument in rows:
                assert ours(argument) == theirs(argument) or (
                    label.startswith("encode") and decode(ours(argument)) == text
                ), label
                mine, python = time_pair(ours, theirs, argument, number, repeat)
                worst = max(worst, mine / python)
                print(
                    f"{label:28} {kind:9} {len(text):8} {mine * scale:11.3f}"
                    f" {python * scale:10.3f} {mine / python:6.2f}",
                    flush=True,
                )
            grown = sys.getsizeof(text)
            if grown != size_before:
                print(f"  vantrel grew the {kind} str from {size_before} to {grown} bytes")
    return worst


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=3, help="calls per timing")
    parser.add_argument("--repeat", type=int, default=25, help="timings; the best is kept")
    parser.add_argument("--only", default="", help="run only codecs whose name contains this")
    parser.add_argument("--short", action="store_true", help="also time 12-character texts")
    args = parser.parse_args()

    kinds = text_kinds()
    print(
        f"Python {sys.version.split()[0]}; 1 MiB texts, best of {args.repeat} x {args.number} calls"
    )
    worst = run_table(kinds, args.number, args.repeat, args.only, 1e3, "ms")
    print(f"worst ratio {worst:.2f}")
    if args.short:
        short = {kind: text[:12] for kind, text in kinds.items()}
        print(f"\n12-character texts, best of {args.repeat} x 2000 calls")
        worst = run_table(short, 2000, args.repeat, args.only, 1e9, "ns")
        print(f"worst ratio {worst:.2f}")


if __name__ == "__main__":
    main()

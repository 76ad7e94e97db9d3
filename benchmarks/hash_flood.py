"""Names built to collide under the C++ standard library's string hash, against random names.

libstdc++'s std::hash for strings is a Murmur-style function. Its 8-byte block step is
`h = (h ^ f(block)) * mul` with an invertible f, so two blocks whose f differ only in the top
bit turn into states that differ only in the top bit, whatever came before; a second such pair
cancels the difference. Each 16-byte segment can therefore be written two ways with the same
effect, for every seed: k segments give 2**k names with one hash value. A map keyed by that hash
would degrade to a list; the module's maps use a keyed hash with a secret per-map key.

Prints the time per declaration for colliding and for random names of the same length, and the
ratio (close to 1 when lookups do not collide). Usage: python benchmarks/hash_flood.py [--quick]
"""
import argparse
import random
import sys
import time

import _kestrin

MASK = (1 << 64) - 1
MUL = (0xC6A4A793 << 32) + 0x5BD1E995
MUL_INVERSE = pow(MUL, -1, 1 << 64)
TOP = 1 << 63
ASCII = 0x8080808080808080  # a block is ASCII when none of these bits is set


def shift_mix(v):
    return v ^ (v >> 47)


def block_step(block):
    """f of the block step: shift_mix(block * mul) * mul."""
    return (shift_mix((block * MUL) & MASK) * MUL) & MASK


def block_for(value):
    """The block whose f is `value` (shift_mix by 47 is its own inverse)."""
    return (shift_mix((value * MUL_INVERSE) & MASK) * MUL_INVERSE) & MASK


def std_hash(data, seed=0xC70F6907):
    """libstdc++'s std::hash<std::string_view> on 64-bit targets (seed is its default)."""
    n = len(data)
    h = (seed ^ (n * MUL)) & MASK
    whole = n & ~7
    for i in range(0, whole, 8):
        h = ((h ^ block_step(int.from_bytes(data[i : i + 8], "little"))) * MUL) & MASK
    if n & 7:
        h = ((h ^ int.from_bytes(data[whole:], "little")) * MUL) & MASK
    return shift_mix((shift_mix(h) * MUL) & MASK)


def usable(block):
    """ASCII, and free of the characters that split a sequent."""
    data = block.to_bytes(8, "little")
    return not block & ASCII and b"," not in data and b"=" not in data


def colliding_names(bits, rng):
    # Two blocks whose f differ in the top bit only.
    while True:
        value = rng.getrandbits(64)
        a, b = block_for(value), block_for(value ^ TOP)
        if usable(a) and usable(b):
            break
    segments = [a.to_bytes(8, "little") * 2, b.to_bytes(8, "little") * 2]
    # A common first block and last byte keep names clear of "(" and of white space at their
    # ends, and change no collision.
    return [b"v" * 8 + b"".join(segments[(n >> k) & 1] for k in range(bits)) + b"v"
            for n in range(1 << bits)]


def time_per_declaration(names):
    env = _kestrin.Environment()
    declare = env.declare_function
    start = time.perf_counter()
    for name in names:
        declare(name, [], "U")
    return (time.perf_counter() - start) / len(names)


def time_per_variable(names):
    env = _kestrin.Environment()
    text = ", ".join(name + " = " + name for name in names) + " => x = x"
    start = time.perf_counter()
    env.declare_sequent(text)
    return (time.perf_counter() - start) / len(names)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="4,096 names instead of 32,768")
    args = parser.parse_args()
    bits = 12 if args.quick else 15
    rng = random.Random(20261208)

    crafted = colliding_names(bits, rng)
    for seed in (0xC70F6907, 0, 12345):
        assert len({std_hash(name, seed) for name in crafted}) == 1, "names do not collide"
    length = len(crafted[0])
    alphabet = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    random_names = [bytes(rng.choice(alphabet) for _ in range(length)) for _ in crafted]
    crafted = [name.decode("ascii") for name in crafted]
    random_names = [name.decode("ascii") for name in random_names]

    print("CPython", sys.version.split()[0])
    print("names", len(crafted), "of", length, "bytes, one std::hash value for every seed tried")
    for label, measure in (("declare_function", time_per_declaration),
                           ("variables in one sequent", time_per_variable)):
        rounds = []
        for _ in range(3):  # interleaved: the machine is noisy
            rounds.append((measure(crafted), measure(random_names)))
        collide = min(r[0] for r in rounds)
        plain = min(r[1] for r in rounds)
        print("%s: colliding %.0f ns, random %.0f ns per name, ratio %.2f"
              % (label, collide * 1e9, plain * 1e9, collide / plain))


if __name__ == "__main__":
    main()

"""The equational theory of groups, declared in a kestrin Environment.

Run with ``python examples/groups.py`` once the module is installed.
"""

from _kestrin import Environment

env = Environment()

# Signature: one sort G, the identity, the inverse and the product.
env.declare_function("e", [], "G")
env.declare_function("inv", ["G"], "G")
env.declare_function("mul", ["G", "G"], "G")

# Both sides of a sequent need at least one equation, so unconditional
# laws take the trivially true premise "x = x".
AXIOMS = [
    "x = x => (mul e x) = x",  # left identity
    "x = x => (mul (inv x) x) = e",  # left inverse
    "x = x => (mul (mul x y) z) = (mul x (mul y z))",  # associativity
    "(mul x y) = (mul x z) => y = z",  # left cancellation
    "(mul x y) = e => y = (inv x)",  # uniqueness of inverses
]
for axiom in AXIOMS:
    env.declare_sequent(axiom)

print("str(env):")
print(env, end="")
print("sorts:", env.sorts)
print("functions:", env.functions)
print("sequents:")
for premises, conclusions in env.sequents:
    print(" ", premises, "=>", conclusions)

# "div" is not part of the signature, so this sequent is refused.
try:
    env.declare_sequent("(div x y) = e => x = (mul y e)")
except ValueError as error:
    print("refused:", error)

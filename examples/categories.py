"""The two-sorted theory of categories: objects Ob and morphisms Hom.

``(comp g f)`` is "g after f", defined when ``(cod f) = (dom g)``.
"""

from _kestrin import Environment

env = Environment()
env.declare_function("dom", ["Hom"], "Ob")
env.declare_function("cod", ["Hom"], "Ob")
env.declare_function("id", ["Ob"], "Hom")
env.declare_function("comp", ["Hom", "Hom"], "Hom")

for axiom in [
    "a = a => (dom (id a)) = a, (cod (id a)) = a",
    "(cod f) = (dom g) => (dom (comp g f)) = (dom f), (cod (comp g f)) = (cod g)",
    "(dom f) = a => (comp f (id a)) = f",
    "(cod f) = b => (comp (id b) f) = f",
    "(cod f) = (dom g), (cod g) = (dom h) => (comp h (comp g f)) = (comp (comp h g) f)",
]:
    env.declare_sequent(axiom)

print(env, end="")
print("sorts:", env.sorts)
print("functions:", env.functions)
print("sequents:", len(env.sequents))

# A side may not be empty: the empty premise segment is reported as the
# payload, so the message ends in a space.
try:
    env.declare_sequent("=> (dom (id a)) = a")
except ValueError as error:
    print("refused:", repr(str(error)))

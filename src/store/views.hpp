#pragma once
// The values Python reads from an environment. Each is built afresh, as a new list filled in
// stored order and handed out only when complete; the term objects inside `sequents` are the
// stored ones, handed out by reference.

#include "capi/ref.hpp"
#include "store/environment.hpp"

namespace kestrin {

Ref sorts_view(const Environment& environment);
Ref functions_view(const Environment& environment);
Ref sequents_view(const Environment& environment);

// The canonical text of the stored sequents as a str.
Ref text_view(Environment& environment);

}  // namespace kestrin

// The C interface of kestrin_abi.h over the logic. Every expected failure is a status and a
// message kept in the environment; every exception stops here, so none crosses into C.

#include <atomic>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "abi/kestrin_abi.h"
#include "logic/growth.hpp"
#include "logic/internal_fault.hpp"
#include "logic/parser.hpp"
#include "logic/render.hpp"
#include "logic/sequent.hpp"
#include "logic/signature.hpp"

// An application whose arguments are being walked: its node, and how many arguments are to come.
struct OpenApplication {
  const kestrin::Term* node;
  std::uint64_t remaining;
};

struct kestrin_environment {
  kestrin::Signature signature;
  std::vector<kestrin::Sequent> sequents;
  std::uint64_t next_variable_id = 0;
  std::string message;                  // of the last failure
  std::vector<std::int64_t> terms;      // the last stored sequent, as kestrin_terms describes it
  std::vector<std::string_view> parts;  // working memory of kestrin_declare_function
  kestrin::ParserScratch scratch;
  kestrin::PodVector<OpenApplication> open;  // working memory of describe()
};

namespace {

using kestrin::Term;

// Runs `body`, which returns a status, and turns what it throws into one.
template <class Body>
int guarded(kestrin_environment* environment, Body&& body) noexcept {
  try {
    return body();
  } catch (kestrin::InternalFault& fault) {
    try {
      environment->message = std::move(fault.description);
    } catch (...) {
      return KESTRIN_NO_MEMORY;
    }
    return KESTRIN_FAULT;
  } catch (std::bad_alloc&) {
    return KESTRIN_NO_MEMORY;
  } catch (...) {
    environment->message.clear();
    try {
      environment->message = "unexpected native exception";
    } catch (...) {
      return KESTRIN_NO_MEMORY;
    }
    return KESTRIN_FAULT;
  }
}

int refused(kestrin_environment* environment, const kestrin::LogicError& error) {
  environment->message = error.message();
  return KESTRIN_REFUSED;
}

// Writes the sequent's line as a walk of its nodes meets the pieces (see LineWriter), and
// describes its terms in `terms`, each subtree after its arguments, so that a binding builds an
// application's argument list from the last values it made.
void describe(kestrin_environment& environment, kestrin::Sequent& sequent) {
  std::vector<std::int64_t>& out = environment.terms;
  kestrin::PodVector<OpenApplication>& open = environment.open;
  out.clear();
  out.reserve(2 + 2 * sequent.nodes().size());
  out.push_back(static_cast<std::int64_t>(sequent.premise_count()));
  out.push_back(static_cast<std::int64_t>(sequent.conclusion_count()));
  kestrin::LineWriter line(sequent.text_buffer(), sequent.text().size());
  const std::size_t count = 2 * sequent.equation_count();
  const Term* p = sequent.nodes().data();
  for (std::size_t i = 0; i < count; ++i) {
    if (i == 2 * sequent.premise_count()) {
      line.arrow();
    } else if (i != 0) {
      i % 2 != 0 ? line.equals() : line.next_equation();
    }
    open.clear();
    for (;;) {
      const Term& term = *p++;
      if (term.is_variable()) {
        line.variable(term.id);
        out.push_back(-1 - static_cast<std::int64_t>(term.id));
      } else if (term.arity != 0) {
        line.open(environment.signature.function(term.id).name);
        open.push_back(OpenApplication{&term, term.arity});
        continue;
      } else {
        line.constant(environment.signature.function(term.id).name);
        out.push_back(0);
        out.push_back(static_cast<std::int64_t>(term.id));
      }
      // A subtree is complete: close the applications it completes, or go on to the next
      // argument.
      while (!open.empty() && --open.back().remaining == 0) {
        line.close();
        out.push_back(static_cast<std::int64_t>(open.back().node->arity));
        out.push_back(static_cast<std::int64_t>(open.back().node->id));
        open.pop_back();
      }
      if (open.empty()) break;
      line.separate();
    }
  }
  if (!line.complete()) throw kestrin::InternalFault{"a sequent's line is shorter than measured"};
}

}  // namespace

extern "C" {

int kestrin_claim_module(void) {
  static std::atomic<bool> claimed{false};
  return claimed.exchange(true) ? 0 : 1;
}

kestrin_environment* kestrin_new(void) {
  return new (std::nothrow) kestrin_environment();
}

void kestrin_free(kestrin_environment* environment) {
  delete environment;
}

const char* kestrin_message(const kestrin_environment* environment, ptrdiff_t* size) {
  *size = static_cast<ptrdiff_t>(environment->message.size());
  return environment->message.data();
}

int kestrin_declare_function(kestrin_environment* environment, const char* parts, size_t size,
                             size_t count) {
  return guarded(environment, [&] {
    std::vector<std::string_view>& texts = environment->parts;
    texts.clear();
    const char* begin = parts;
    const char* const end = parts + size;
    for (const char* p = parts; p != end; ++p) {
      if (static_cast<unsigned char>(*p) == 0xFF) {
        texts.emplace_back(begin, static_cast<std::size_t>(p - begin));
        begin = p + 1;
      }
    }
    if (texts.size() != count || count < 2 || begin != end) {
      throw kestrin::InternalFault{"a declaration's parts are not as counted"};
    }
    auto declared = environment->signature.declare_function(
        texts.front(), std::span<const std::string_view>(texts).subspan(1, count - 2),
        texts.back());
    if (!declared.ok()) return refused(environment, declared.error());
    return int{KESTRIN_OK};
  });
}

int kestrin_declare_sequent(kestrin_environment* environment, const char* text, size_t size) {
  return guarded(environment, [&] {
    auto parsed = kestrin::parse_sequent(environment->signature, environment->next_variable_id,
                                         std::string_view(text, size), environment->scratch);
    if (!parsed.ok()) {
      environment->scratch.trim();
      return refused(environment, parsed.error());
    }
    kestrin::Sequent sequent(parsed.value());
    environment->scratch.trim();
    kestrin::reserve_for(environment->sequents, 1);
    describe(*environment, sequent);
    environment->open.release_above(kestrin::kKeptScratchBytes);
    environment->sequents.push_back(std::move(sequent));
    return int{KESTRIN_OK};
  });
}

const int64_t* kestrin_terms(const kestrin_environment* environment, ptrdiff_t* count) {
  *count = static_cast<ptrdiff_t>(environment->terms.size());
  return environment->terms.data();
}

void kestrin_drop_last_sequent(kestrin_environment* environment) {
  environment->sequents.pop_back();
}

ptrdiff_t kestrin_sort_count(const kestrin_environment* environment) {
  return static_cast<ptrdiff_t>(environment->signature.sorts().size());
}

const char* kestrin_sort(const kestrin_environment* environment, size_t sort, ptrdiff_t* size) {
  const std::string& name = environment->signature.sorts()[sort];
  *size = static_cast<ptrdiff_t>(name.size());
  return name.data();
}

ptrdiff_t kestrin_function_count(const kestrin_environment* environment) {
  return static_cast<ptrdiff_t>(environment->signature.functions().size());
}

ptrdiff_t kestrin_function_arity(const kestrin_environment* environment, size_t function) {
  return static_cast<ptrdiff_t>(environment->signature.functions()[function].argument_type.size());
}

const char* kestrin_function_part(const kestrin_environment* environment, size_t function,
                                  size_t part, ptrdiff_t* size) {
  const kestrin::FunctionSignature& entry = environment->signature.functions()[function];
  const std::string& text = part == 0                            ? entry.name
                            : part <= entry.argument_type.size() ? entry.argument_type[part - 1]
                                                                 : entry.result_type;
  *size = static_cast<ptrdiff_t>(text.size());
  return text.data();
}

ptrdiff_t kestrin_text_size(const kestrin_environment* environment) {
  return static_cast<ptrdiff_t>(kestrin::environment_text_size(environment->sequents));
}

void kestrin_text(const kestrin_environment* environment, char* out) {
  kestrin::render_environment(environment->sequents, out);
}

}  // extern "C"

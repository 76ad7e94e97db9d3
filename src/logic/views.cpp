#include "logic/views.hpp"

#include <string>

#include "binding/containers.hpp"
#include "binding/errors.hpp"
#include "logic/render.hpp"

namespace kestrin {
namespace {

Ref text_list(const std::vector<std::string>& texts) {
  Ref list = new_list(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    put_list_item(list.get(), i, new_str(texts[i]));
  }
  return list;
}

// [(lhs, rhs), ...] over `count` stored equations starting at `terms`.
Ref equation_list(const Ref* terms, std::size_t count) {
  Ref list = new_list(count);
  for (std::size_t i = 0; i < count; ++i) {
    // Nothing is made between making the pair and filling it.
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) api_failure();
    PyTuple_SET_ITEM(pair, 0, Ref::new_ref(terms[2 * i].get()).release());
    PyTuple_SET_ITEM(pair, 1, Ref::new_ref(terms[2 * i + 1].get()).release());
    put_list_item(list.get(), i, Ref::steal(pair));
  }
  return list;
}

}  // namespace

Ref sorts_view(const Environment& environment) {
  return text_list(environment.signature.sorts());
}

Ref functions_view(const Environment& environment) {
  const auto& functions = environment.signature.functions();
  Ref list = new_list(functions.size());
  for (std::size_t i = 0; i < functions.size(); ++i) {
    const FunctionSignature& function = functions[i];
    Ref entry = new_tuple(3);
    put_tuple_item(entry.get(), 0, new_str(function.name));
    put_tuple_item(entry.get(), 1, text_list(function.argument_type));
    put_tuple_item(entry.get(), 2, new_str(function.result_type));
    put_list_item(list.get(), i, std::move(entry));
  }
  return list;
}

Ref sequents_view(const Environment& environment) {
  const auto& sequents = environment.sequent_objects;
  // Handing out a term object touches its reference count, and the stored objects are spread
  // over the heap: ask for them a few sequents ahead, and for their arrays further ahead
  // still, so the cache misses overlap instead of coming one by one.
  constexpr std::size_t kAhead = 32;
  auto prefetch_terms = [&](std::size_t i) {
    if (i >= sequents.size()) return;
    const SequentObjects& ahead = sequents[i];
    std::size_t count = 2 * (ahead.premise_count + ahead.conclusion_count);
    for (std::size_t t = 0; t < count; ++t) __builtin_prefetch(ahead.terms[t].get(), 1);
  };
  for (std::size_t i = 0; i < kAhead; ++i) prefetch_terms(i);
  Ref list = new_list(sequents.size());
  for (std::size_t i = 0; i < sequents.size(); ++i) {
    if (i + 2 * kAhead < sequents.size()) __builtin_prefetch(sequents[i + 2 * kAhead].terms.get());
    prefetch_terms(i + kAhead);
    const SequentObjects& objects = sequents[i];
    Ref entry = new_tuple(2);
    put_tuple_item(entry.get(), 0, equation_list(objects.terms.get(), objects.premise_count));
    put_tuple_item(entry.get(), 1,
                   equation_list(objects.terms.get() + 2 * objects.premise_count,
                                 objects.conclusion_count));
    put_list_item(list.get(), i, std::move(entry));
  }
  return list;
}

Ref text_view(Environment& environment) {
  const auto& sequents = environment.sequent_records;
  std::size_t size = environment_text_size(sequents);
  if (environment.text_ascii) {
    // Pure ASCII is written straight into the new string's own storage.
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 0x7F));
    if (!text) api_failure();
    render_environment(sequents, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
    return text;
  }
  std::string buffer(size, '\0');
  render_environment(sequents, buffer.data());
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(buffer.data(), static_cast<Py_ssize_t>(buffer.size()), nullptr));
  if (!text) api_failure();
  return text;
}

}  // namespace kestrin

#include "store/views.hpp"

#include <string>

#include "capi/api_call.hpp"
#include "capi/containers.hpp"
#include "logic/prefetch.hpp"
#include "logic/render.hpp"

namespace kestrin {
namespace {

Ref text_list(const std::vector<std::string>& texts) {
  Ref list = new_list(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    put_list_item(list.get(), i, new_str(texts[i]));
  }
  return finished(std::move(list));
}

// The stored term objects, handed out in order. Handing one out touches its reference count,
// and the objects are spread over the heap: each is asked for some way ahead of its use, so
// that the cache misses overlap instead of coming one by one.
class TermCursor {
 public:
  explicit TermCursor(const std::vector<StoredRef>& terms) noexcept : terms_(terms) {
    for (std::size_t i = 0; i < kAhead && i < terms_.size(); ++i) prefetch(terms_[i].get());
  }

  Ref next() noexcept {
    if (next_ + kAhead < terms_.size()) prefetch(terms_[next_ + kAhead].get());
    return Ref::new_ref(terms_[next_++].get());
  }

 private:
  static constexpr std::size_t kAhead = 24;
  const std::vector<StoredRef>& terms_;
  std::size_t next_ = 0;
};

// [(lhs, rhs), ...] over the next `count` stored equations. The pairs are complete when made,
// and the list is made and filled with nothing made in between, so neither ever shows an
// empty slot and neither needs hiding from the collector. `pairs` is working memory.
Ref equation_list(TermCursor& terms, std::size_t count, std::vector<StoredRef>& pairs) {
  pairs.clear();
  for (std::size_t i = 0; i < count; ++i) {
    Ref lhs = terms.next();
    pairs.push_back(new_pair(std::move(lhs), terms.next()));
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) api_failure();
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pairs[i].release());
  }
  return Ref::steal(list);
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
    put_list_item(list.get(), i, finished(std::move(entry)));
  }
  return finished(std::move(list));
}

Ref sequents_view(const Environment& environment) {
  const auto& sequents = environment.sequent_objects;
  TermCursor terms(environment.term_objects);
  std::vector<StoredRef> pairs;
  Ref list = new_list(sequents.size());
  for (std::size_t i = 0; i < sequents.size(); ++i) {
    Ref premises = equation_list(terms, sequents[i].premise_count, pairs);
    Ref conclusions = equation_list(terms, sequents[i].conclusion_count, pairs);
    put_list_item(list.get(), i, new_pair(std::move(premises), std::move(conclusions)));
  }
  return finished(std::move(list));
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

#include "logic/parser.hpp"

#include <new>

#include "logic/render.hpp"
#include "logic/unicode.hpp"

namespace kestrin {

using parser_detail::Level;

void VariableScope::reset(std::string_view text) noexcept {
  text_ = text;
  names_.clear();
  slots_.clear();
  kept_.clear();
}

std::string_view VariableScope::name(std::size_t i) const noexcept {
  const NameRef& ref = names_[i];
  if (ref.offset < text_.size()) return text_.substr(ref.offset, ref.length);
  return std::string_view(kept_).substr(ref.offset - text_.size(), ref.length);
}

std::optional<std::size_t> VariableScope::find(std::string_view name, std::uint64_t key,
                                               const Signature& signature) const noexcept {
  if (names_.size() <= kLinear) {
    // Equal short keys are equal names; equal hashes are checked against the text.
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (linear_keys_[i] == key && (is_short_key(key) || this->name(i) == name)) return i;
    }
    return std::nullopt;
  }
  const std::uint32_t t = tag(name, key, signature);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = t & mask;; i = (i + 1) & mask) {
    std::uint64_t slot = slots_[i];
    if (slot == 0) return std::nullopt;
    std::size_t position = static_cast<std::uint32_t>(slot) - 1;
    if ((slot >> 32) == t && this->name(position) == name) return position;
  }
}

void VariableScope::index(std::uint32_t t, std::size_t position) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = t & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = std::uint64_t{t} << 32 | (position + 1);
}

void VariableScope::grow_index(const Signature& signature) {
  PodVector<std::uint64_t> old;
  old.swap(slots_);
  slots_.assign_zeroed(old.empty() ? 4 * kLinear : 2 * old.size());
  if (old.empty()) {
    for (std::size_t i = 0; i < kLinear; ++i) index(tag(name(i), linear_keys_[i], signature), i);
    return;
  }
  for (std::uint64_t slot : old) {
    if (slot != 0)
      index(static_cast<std::uint32_t>(slot >> 32), static_cast<std::uint32_t>(slot) - 1);
  }
}

void VariableScope::insert(std::string_view name, std::uint64_t key, const Signature& signature) {
  // Positions are kept in 32 bits; that many variables would need a text of many gigabytes.
  if (names_.size() >= 0xFFFFFFFEu) throw std::bad_alloc();
  const std::size_t position = names_.size();
  auto begin = reinterpret_cast<std::uintptr_t>(text_.data());
  auto at = reinterpret_cast<std::uintptr_t>(name.data());
  if (at >= begin && name.size() <= text_.size() && at - begin <= text_.size() - name.size()) {
    names_.push_back(NameRef{at - begin, name.size()});
  } else {
    names_.push_back(NameRef{text_.size() + kept_.size(), name.size()});
    kept_.append(name);
  }
  if (position < kLinear) {
    linear_keys_[position] = key;
    return;
  }
  // The index holds every name once the linear part is full, at most three quarters loaded.
  if (4 * (position + 1) > 3 * slots_.size()) grow_index(signature);
  index(tag(name, key, signature), position);
}

void VariableScope::trim() noexcept {
  names_.release_above(kKeptScratchBytes);
  slots_.release_above(kKeptScratchBytes);
  if (kept_.capacity() > kKeptScratchBytes) std::string().swap(kept_);
  reset({});
}

void ParserScratch::trim() noexcept {
  nodes.release_above(kKeptScratchBytes);
  levels.release_above(kKeptScratchBytes);
  scope.trim();
  if (joined.capacity() > kKeptScratchBytes) std::string().swap(joined);
}

namespace {

LogicError illegal_sequent(std::string_view text) {
  return LogicError{LogicErrorKind::IllegalSequent, std::string(text)};
}

constexpr std::size_t kNoSkip = ~std::size_t{0};

// " ", "(" and ")": the characters the tokenizer acts on.
constexpr bool is_structural(char c) noexcept {
  return c == ' ' || (c | 1) == ')';
}

// The tokenizer of one application, as events for a reader. `t` is the trimmed term text; it
// begins with "(".
//
// A token whose text so far is only white space and that then meets "(" is an application of
// its own (a child): parsed alone it would be trimmed to begin with "(". Its tokens are read
// on the spot, with a state of their own, until its parent closes it with a space or ")" at
// the parent's depth 1, which is the child's depth 0. Only the innermost application tracks
// depth: every open parent stands at depth 1 while its child is open, and after the child is
// closed its state is fixed by the closing character. So the tokenizer needs no stack, only
// the count of open applications; a reader that needs one keeps its own.
//
// Reader events, in text order:
//   head(begin, end)         the head token of the innermost application is closed;
//   name(begin, skip, end)   an argument token that is not a child is closed; `skip` is the
//                            position of a "(" inside it that reopened the application and is
//                            not part of its text, or kNoSkip;
//   open(at)                 a child opens at the "(" at `at`, `open` applications being open;
//                            false stops the reading;
//   close(at)                its parent closes the innermost child; false stops the reading.
// Returns whether the outermost application has a head token.
struct Tokenized {
  bool has_head;
  std::size_t open;  // applications still open at the end, the outermost one included
};

template <class Reader>
Tokenized tokenize(std::string_view t, Reader& reader) {
  enum Mode : unsigned char { kHead, kPending, kName, kChild };
  std::int64_t depth = 1;
  Mode mode = kHead;
  bool has_head = false;
  std::size_t begin = 1;
  std::size_t skip = kNoSkip;
  std::size_t open = 1;

  auto start_token = [&](std::size_t at) {
    mode = has_head ? kPending : kHead;
    begin = at;
    skip = kNoSkip;
  };
  // A pending token stays pending while it holds only white space.
  auto note_character = [&](std::size_t i) -> std::size_t {
    auto byte = static_cast<unsigned char>(t[i]);
    std::size_t width = byte < 0x80 ? is_white_space(byte) : white_space_at(t, i);
    if (width == 0) {
      mode = kName;
      return 0;
    }
    return width - 1;
  };

  const std::size_t n = t.size();
  for (std::size_t i = 1; i < n; ++i) {
    if (depth == 1 && mode != kPending) {
      // Inside a token only a space or a parenthesis changes anything.
      while (!is_structural(t[i])) {
        if (++i == n) return {open > 1 || has_head, open};
      }
    }
    const char c = t[i];
    if (depth == 0 && open > 1 && (c == ' ' || c == ')')) {
      // The parent closes its child here: whatever the child still collects is dropped.
      if (!reader.close(i)) return {true, open};
      --open;
      has_head = true;
      start_token(i + 1);
      depth = c == ')' ? 0 : 1;
      continue;
    }
    switch (depth) {
      case 1:
        if (c == ' ' || c == ')') {
          if (mode == kHead) {
            has_head = true;
            reader.head(begin, i);
          } else {
            reader.name(begin, skip, i);
          }
          start_token(i + 1);
          if (c == ')') depth = 0;
        } else if (c == '(') {
          if (mode == kPending) {
            if (!reader.open(i, open)) return {true, open};
            ++open;
            depth = 1;
            mode = kHead;
            has_head = false;
            begin = i + 1;
            skip = kNoSkip;
          } else {
            depth = 2;
          }
        } else if (mode == kPending) {
          i += note_character(i);
        }
        break;
      case 0:
        if (c == '(') {
          // This "(" reopens the application without becoming part of the token.
          depth = 1;
          if (begin == i) {
            begin = i + 1;
          } else {
            skip = i;
          }
        } else if (c == ')') {
          depth = -1;
          mode = kName;
        } else if (mode == kPending) {
          i += note_character(i);
        }
        break;
      default:
        if (c == '(') {
          ++depth;
        } else if (c == ')') {
          --depth;
        }
        break;
    }
  }
  return {open > 1 || has_head, open};
}

// The first reading of an application: where the text that counts ends. Text left open at the
// end is dropped, and with it every child still open, so everything from the "(" of the
// outermost child that is never closed onwards; the rest is read again to resolve its tokens.
struct Extent {
  std::size_t last_child = 0;  // where the outermost application last opened a child
  void head(std::size_t, std::size_t) noexcept {}
  void name(std::size_t, std::size_t, std::size_t) noexcept {}
  bool open(std::size_t at, std::size_t open) noexcept {
    if (open == 1) last_child = at;
    return true;
  }
  bool close(std::size_t) noexcept { return true; }
};

// Applications nested deeper than this are read the careful way (see Parser::parse_sequent).
constexpr std::size_t kFirstReadingDepth = 1024;

class Parser {
 public:
  Parser(const Signature& signature, std::uint64_t& next_variable_id, ParserScratch& scratch,
         bool build)
      : signature_(signature), next_variable_id_(next_variable_id), s_(scratch), build_(build) {
    s_.short_names.use_for(signature.function_count());
  }

  // Each application is first read once, on the guess that all of its text counts: names are
  // resolved as its tokens are closed. When one turns out to leave a child open at its end
  // (whose names must not have numbered a variable) or to have no head, or when anything in an
  // application is refused (that might lie in text that is dropped), the whole sequent is read
  // again from its start the careful way, each application twice: once to find the text that
  // counts, once to resolve it. An accepted text with every application closed is read once.
  Result<SequentView, LogicError> parse_sequent(std::string_view text) {
    first_variable_ = next_variable_id_;
    auto result = parse_sequent_once(text);
    if (!retry_) return result;
    next_variable_id_ = first_variable_;
    careful_ = true;
    return parse_sequent_once(text);
  }

  // Tokenizer events of the reading that resolves names (see tokenize).
  void head(std::size_t begin, std::size_t end) noexcept {
    Level& level = s_.levels.back();
    level.head_begin = begin;
    level.head_end = end;
  }
  void name(std::size_t begin, std::size_t skip, std::size_t end) {
    ++s_.levels.back().arguments;
    resolve_name(name_text(begin, skip, end));
  }
  bool open(std::size_t at, std::size_t) {
    // A child may never be closed, and then everything in it is dropped: the first reading
    // keeps no deep stack of levels for text that may not count.
    if (!careful_ && s_.levels.size() >= kFirstReadingDepth) return false;
    open_level(at + 1);
    return true;
  }
  bool close(std::size_t) {
    error_ = close_level();
    if (error_) return false;
    ++s_.levels.back().arguments;
    return true;
  }

 private:
  Result<SequentView, LogicError> parse_sequent_once(std::string_view text) {
    s_.nodes.clear();
    s_.levels.clear();
    s_.scope.reset(text);
    line_size_ = 4;  // " => "
    std::size_t arrow = text.find("=>");
    std::size_t premises = 0;
    if (auto error = parse_side(text.substr(0, arrow), premises)) return std::move(*error);
    if (arrow == std::string_view::npos) return illegal_sequent(text);
    std::size_t start = arrow + 2;
    std::size_t second_arrow = text.find("=>", start);
    std::size_t conclusions = 0;
    if (auto error = parse_side(
            text.substr(start, second_arrow == std::string_view::npos ? std::string_view::npos
                                                                      : second_arrow - start),
            conclusions)) {
      return std::move(*error);
    }
    if (second_arrow != std::string_view::npos) return illegal_sequent(text);
    return SequentView{{s_.nodes.data(), s_.nodes.size()}, premises, conclusions, line_size_};
  }

  // Every segment between commas is an equation, empty ones included.
  std::optional<LogicError> parse_side(std::string_view side, std::size_t& equations) {
    std::size_t pos = 0;
    for (;;) {
      std::size_t comma = side.find(',', pos);
      std::string_view segment =
          side.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
      std::size_t equals = segment.find('=');
      if (auto error = parse_term(segment.substr(0, equals))) return error;
      if (equals == std::string_view::npos) return illegal_sequent(segment);
      std::size_t start = equals + 1;
      std::size_t second_equals = segment.find('=', start);
      if (auto error = parse_term(segment.substr(start, second_equals == std::string_view::npos
                                                            ? std::string_view::npos
                                                            : second_equals - start))) {
        return error;
      }
      if (second_equals != std::string_view::npos) return illegal_sequent(segment);
      // " = " inside the equation, ", " before it unless it is the first
      line_size_ += equations++ == 0 ? 3 : 5;
      if (comma == std::string_view::npos) return std::nullopt;
      pos = comma + 1;
    }
  }

  std::optional<LogicError> parse_term(std::string_view text) {
    std::string_view term = trim_white_space(text);
    if (term.empty() || term.front() != '(') {
      resolve_name(term);
      return std::nullopt;
    }
    if (!careful_) {
      t_ = term;
      s_.levels.clear();
      open_level(1);
      error_.reset();
      Tokenized read = tokenize(t_, *this);
      bool whole = read.has_head && read.open == 1 && s_.levels.size() == 1;
      if (!error_ && whole) error_ = close_level();
      if (!error_ && whole) return std::nullopt;
      retry_ = true;  // parse_sequent reads the text again; this stops the first reading
      return LogicError{LogicErrorKind::IllegalTerm, {}};
    }
    // Names are resolved in the second reading only, because text left open at the end is
    // dropped and must not number any variable.
    Extent extent;
    Tokenized first = tokenize(term, extent);
    if (!first.has_head) return LogicError{LogicErrorKind::IllegalTerm, std::string(text)};
    t_ = first.open > 1 ? term.substr(0, extent.last_child) : term;
    s_.levels.clear();
    open_level(1);
    error_.reset();
    tokenize(t_, *this);
    if (error_) return std::move(error_);
    return close_level();
  }

  // An application opens: its node comes before its arguments', its head and argument count
  // are filled in when it closes.
  void open_level(std::size_t head_begin) {
    s_.levels.push_back(Level{head_begin, head_begin, s_.nodes.size(), 0});
    if (build_) s_.nodes.push_back(Term{0, 0});
  }

  // The head is looked up only after all arguments were resolved, so an error inside an
  // argument wins over an undeclared head.
  std::optional<LogicError> close_level() {
    const Level& level = s_.levels.back();
    std::string_view head = t_.substr(level.head_begin, level.head_end - level.head_begin);
    auto id = function_id(head, signature_.name_key(head));
    if (!id) return LogicError{LogicErrorKind::NotDeclared, std::string(head)};
    if (build_) s_.nodes[level.node] = Term{*id, level.arguments};
    // "(" head " " and the arguments each followed by " " or ")", or the head alone
    line_size_ += head.size() + (level.arguments == 0 ? 0 : 2 + level.arguments);
    s_.levels.pop_back();
    return std::nullopt;
  }

  std::optional<std::uint64_t> function_id(std::string_view name, std::uint64_t key) {
    if (!is_short_key(key)) return signature_.function_id(name, key);
    return s_.short_names.find(key, [&] { return signature_.function_id(name, key); });
  }

  std::string_view name_text(std::size_t begin, std::size_t skip, std::size_t end) {
    if (skip == kNoSkip) return trim_white_space(t_.substr(begin, end - begin));
    s_.joined.assign(t_.substr(begin, skip - begin));
    s_.joined.append(t_.substr(skip + 1, end - skip - 1));
    return trim_white_space(s_.joined);
  }

  void resolve_name(std::string_view name) {
    std::uint64_t key = signature_.name_key(name);
    if (auto function = function_id(name, key)) {
      if (build_) s_.nodes.push_back(Term{*function, 0});
      line_size_ += name.size();
      return;
    }
    if (auto position = s_.scope.find(name, key, signature_)) {
      std::uint64_t id = first_variable_ + *position;
      if (build_) s_.nodes.push_back(Term{id, Term::kVariable});
      line_size_ += 1 + decimal_length(id);
      return;
    }
    // Whatever can fail comes before the number is taken.
    if (build_) s_.nodes.push_back(Term{next_variable_id_, Term::kVariable});
    s_.scope.insert(name, key, signature_);
    line_size_ += 1 + decimal_length(next_variable_id_);
    ++next_variable_id_;
  }

  const Signature& signature_;
  std::uint64_t& next_variable_id_;
  ParserScratch& s_;
  const bool build_;  // whether term nodes are made, or the text is only checked
  std::uint64_t first_variable_ = 0;
  std::string_view t_;  // the application being read
  std::optional<LogicError> error_;
  std::size_t line_size_ = 0;  // of the canonical line of what was built so far
  bool careful_ = false;       // each application read twice (see parse_sequent)
  bool retry_ = false;         // the first reading was given up
};

// From this size on a text is checked before its terms are built: the nodes of a text that
// is then refused would cost up to 16 bytes per byte of text for nothing.
constexpr std::size_t kCheckFrom = std::size_t{1} << 16;

}  // namespace

Result<SequentView, LogicError> parse_sequent(const Signature& signature,
                                              std::uint64_t& next_variable_id,
                                              std::string_view text, ParserScratch& scratch) {
  if (text.size() >= kCheckFrom) {
    std::uint64_t first = next_variable_id;
    auto checked = Parser(signature, next_variable_id, scratch, false).parse_sequent(text);
    if (!checked.ok()) return std::move(checked.error());
    // The text is accepted: read it again from the same numbers, building its terms.
    next_variable_id = first;
  }
  return Parser(signature, next_variable_id, scratch, true).parse_sequent(text);
}

}  // namespace kestrin

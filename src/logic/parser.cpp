#include "logic/parser.hpp"

#include "logic/growth.hpp"
#include "logic/unicode.hpp"

namespace kestrin {

using parser_detail::Frame;
using parser_detail::Open;
using parser_detail::Token;

std::optional<std::uint64_t> VariableScope::find(std::string_view name,
                                                 std::uint64_t hash) const noexcept {
  if (entries_.size() <= kLinear) {
    for (const Entry& entry : entries_) {
      if (entry.hash == hash && entry.name == name) return entry.id;
    }
    return std::nullopt;
  }
  auto index = index_.find(name, hash, [this](std::uint64_t i) { return entries_[i].name; });
  if (!index) return std::nullopt;
  return entries_[*index].id;
}

void VariableScope::insert(std::string_view name, std::uint64_t hash, std::uint64_t id) {
  entries_.push_back(Entry{name, hash, id});
  if (entries_.size() <= kLinear) return;
  if (index_.size() == 0) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      index_.reserve_one_more();
      index_.insert(entries_[i].hash, i);
    }
    return;
  }
  index_.reserve_one_more();
  index_.insert(hash, entries_.size() - 1);
}

void VariableScope::clear() noexcept {
  entries_.clear();
  index_.clear();
}

void ParserScratch::trim() noexcept {
  constexpr std::size_t kKeep = std::size_t{1} << 16;
  auto shrink = [](auto& v) {
    if (v.capacity() > kKeep) std::remove_reference_t<decltype(v)>().swap(v);
  };
  shrink(nodes);
  shrink(tokens);
  shrink(frames);
  shrink(open);
  scope.clear();
  kept_names.clear();
  if (joined.capacity() > kKeep) std::string().swap(joined);
}

namespace {

LogicError illegal_sequent(std::string_view text) {
  return LogicError{LogicErrorKind::IllegalSequent, std::string(text)};
}

class Parser {
 public:
  Parser(const Signature& signature, std::uint64_t& next_variable_id, ParserScratch& scratch)
      : signature_(signature), next_variable_id_(next_variable_id), s_(scratch) {}

  Result<SequentView, LogicError> parse_sequent(std::string_view text) {
    s_.nodes.clear();
    s_.scope.clear();
    s_.kept_names.clear();
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
    return SequentView{s_.nodes, premises, conclusions};
  }

 private:
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
      ++equations;
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
    if (!scan_application(term)) return LogicError{LogicErrorKind::IllegalTerm, std::string(text)};
    return resolve_tokens(term);
  }

  // Tokenizes the application `t` and, recursively in effect, every argument that is itself
  // an application, in one pass. Each open application has a frame; an argument's depth is
  // its parent's minus one while it is open, so only the innermost frame tracks depth, and the
  // parent's "closing space or ')' at depth 1" is the innermost frame's depth 0. Tokens are
  // only recorded here; names are resolved afterwards, because text left open at the end is
  // dropped and must not number any variable. Returns false when `t` yields no token at all.
  bool scan_application(std::string_view t) {
    std::vector<Token>& tokens = s_.tokens;
    std::vector<Frame>& frames = s_.frames;
    tokens.clear();
    frames.clear();
    tokens.push_back(Token{1, 1, Token::kNoSkip, 0});
    frames.push_back(Frame{0, 1, 0, false, Frame::kHead, 1, Token::kNoSkip});

    const std::size_t n = t.size();
    for (std::size_t i = 1; i < n; ++i) {
      const char c = t[i];
      Frame* f = &frames.back();
      if (f->depth == 0 && frames.size() > 1 && (c == ' ' || c == ')')) {
        // The parent closes this argument here: whatever the argument still collects is
        // dropped, and the application becomes the parent's next token.
        tokens[f->slot].arity = f->count;
        frames.pop_back();
        f = &frames.back();
        ++f->count;
        start_token(*f, i + 1);
        f->depth = c == ')' ? 0 : 1;
        continue;
      }
      switch (f->depth) {
        case 1:
          if (c == ' ' || c == ')') {
            close_token(*f, i);
            start_token(*f, i + 1);
            if (c == ')') f->depth = 0;
          } else if (c == '(') {
            if (f->mode == Frame::kPending) {
              // Nothing but white space so far: the token is an application of its own.
              f->mode = Frame::kChild;
              std::size_t slot = tokens.size();
              tokens.push_back(Token{i + 1, i + 1, Token::kNoSkip, 0});
              frames.push_back(Frame{slot, 1, 0, false, Frame::kHead, i + 1, Token::kNoSkip});
            } else {
              f->depth = 2;
            }
          } else if (f->mode == Frame::kPending) {
            i += note_character(*f, t, i);
          }
          break;
        case 0:
          if (c == '(') {
            // This "(" reopens the application without becoming part of the token.
            f->depth = 1;
            if (f->begin == i) {
              f->begin = i + 1;
            } else {
              f->skip = i;
            }
          } else if (c == ')') {
            f->depth = -1;
            f->mode = Frame::kName;
          } else if (f->mode == Frame::kPending) {
            i += note_character(*f, t, i);
          }
          break;
        default:
          if (c == '(') {
            ++f->depth;
          } else if (c == ')') {
            --f->depth;
          }
          break;
      }
    }
    // Text left open at the end is dropped: the token being collected and every argument
    // application that was not closed, with all it contains.
    if (frames.size() > 1) tokens.resize(frames[1].slot);
    if (!frames.front().has_head) return false;
    tokens.front().arity = frames.front().count;
    return true;
  }

  static void start_token(Frame& f, std::size_t at) noexcept {
    f.mode = f.has_head ? Frame::kPending : Frame::kHead;
    f.begin = at;
    f.skip = Token::kNoSkip;
  }

  void close_token(Frame& f, std::size_t at) {
    if (f.mode == Frame::kHead) {
      Token& application = s_.tokens[f.slot];
      application.begin = f.begin;
      application.end = at;
      f.has_head = true;
      return;
    }
    s_.tokens.push_back(Token{f.begin, at, f.skip, Token::kName});
    ++f.count;
  }

  // A pending token stays pending while it holds only white space. Returns how many bytes
  // beyond the first the character at t[i] takes.
  static std::size_t note_character(Frame& f, std::string_view t, std::size_t i) noexcept {
    std::size_t width = white_space_at(t, i);
    if (width == 0) {
      f.mode = Frame::kName;
      return 0;
    }
    return width - 1;
  }

  // Resolves the scanned tokens in the order a recursive reading would: names as they come,
  // the head of an application only after all its arguments.
  std::optional<LogicError> resolve_tokens(std::string_view t) {
    std::vector<Open>& open = s_.open;
    open.clear();
    for (std::size_t k = 0; k < s_.tokens.size(); ++k) {
      const Token& token = s_.tokens[k];
      if (token.arity == Token::kName) {
        resolve_name(name_text(t, token));
      } else {
        std::size_t node = s_.nodes.size();
        s_.nodes.push_back(Term{0, token.arity});
        if (token.arity != 0) {
          open.push_back(Open{token.arity, k, node});
          continue;
        }
        if (auto error = resolve_head(t, s_.tokens[k], node)) return error;
      }
      while (!open.empty()) {
        Open& top = open.back();
        if (--top.remaining != 0) break;
        if (auto error = resolve_head(t, s_.tokens[top.token], top.node)) return error;
        open.pop_back();
      }
    }
    return std::nullopt;
  }

  std::optional<LogicError> resolve_head(std::string_view t, const Token& token, std::size_t node) {
    std::string_view head = t.substr(token.begin, token.end - token.begin);
    auto id = signature_.function_id(head);
    if (!id) return LogicError{LogicErrorKind::NotDeclared, std::string(head)};
    s_.nodes[node].id = *id;
    return std::nullopt;
  }

  std::string_view name_text(std::string_view t, const Token& token) {
    if (token.skip == Token::kNoSkip) {
      return trim_white_space(t.substr(token.begin, token.end - token.begin));
    }
    s_.joined.assign(t.substr(token.begin, token.skip - token.begin));
    s_.joined.append(t.substr(token.skip + 1, token.end - token.skip - 1));
    return trim_white_space(s_.joined);
  }

  void resolve_name(std::string_view name) {
    std::uint64_t hash = signature_.hash_function_name(name);
    if (auto function = signature_.function_id(name, hash)) {
      s_.nodes.push_back(Term{*function, 0});
      return;
    }
    if (auto variable = s_.scope.find(name, hash)) {
      s_.nodes.push_back(Term{*variable, Term::kVariable});
      return;
    }
    if (!s_.joined.empty() && name.data() >= s_.joined.data() &&
        name.data() < s_.joined.data() + s_.joined.size()) {
      name = s_.kept_names.emplace_front(name);
    }
    reserve_for(s_.nodes, 1);
    std::uint64_t id = next_variable_id_;
    s_.scope.insert(name, hash, id);
    ++next_variable_id_;
    s_.nodes.push_back(Term{id, Term::kVariable});
  }

  const Signature& signature_;
  std::uint64_t& next_variable_id_;
  ParserScratch& s_;
};

}  // namespace

Result<SequentView, LogicError> parse_sequent(const Signature& signature,
                                              std::uint64_t& next_variable_id,
                                              std::string_view text, ParserScratch& scratch) {
  return Parser(signature, next_variable_id, scratch).parse_sequent(text);
}

}  // namespace kestrin

#include "NSAppleScript.h"

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

const CFStringRef NSAppleScriptErrorMessage = CFSTR("NSAppleScriptErrorMessage");
const CFStringRef NSAppleScriptErrorNumber = CFSTR("NSAppleScriptErrorNumber");
const CFStringRef NSAppleScriptErrorBriefMessage = CFSTR("NSAppleScriptErrorBriefMessage");
const CFStringRef NSAppleScriptErrorRange = CFSTR("NSAppleScriptErrorRange");

namespace {

std::atomic<NSAppleScriptTarget*> gTarget{nullptr};

using Text = std::u16string;

Text textOf(CFStringRef s) {
  Text out(static_cast<size_t>(CFStringGetLength(s)), u'\0');
  if (!out.empty()) CFStringGetCharacters(s, CFRangeMake(0, static_cast<CFIndex>(out.size())), reinterpret_cast<UniChar*>(out.data()));
  return out;
}

CFRef<CFStringRef> stringOf(const Text& t) {
  return CFRef<CFStringRef>(
      CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(t.data()), static_cast<CFIndex>(t.size())));
}

Text ascii(const char* s) { return Text(s, s + std::char_traits<char>::length(s)); }

Text lower(Text t) {
  for (auto& c : t)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return t;
}

// A script error: its number, message and, for compile errors, where it was found.
struct ScriptError {
  OSStatus number;
  Text message;
  CFIndex location = -1;
  CFIndex length = 0;
};

// ---------------------------------------------------------------------------------------------
// Tokens

struct Token {
  enum Kind { Word, String, Symbol, Newline, End } kind;
  Text text;  // words: as written; strings: the value; symbols: the character
  size_t pos;
  size_t len;
  Text key() const { return lower(text); }
  bool is(const char* word) const { return kind == Word && key() == lower(ascii(word)); }
  bool isSymbol(char16_t c) const { return kind == Symbol && text.size() == 1 && text[0] == c; }
};

Text describe(const Token& t) {
  switch (t.kind) {
    case Token::End: return u"end of script";
    case Token::Newline: return u"end of line";
    case Token::String: return u"\"" + t.text + u"\"";
    default: return u"\"" + t.text + u"\"";
  }
}

}  // namespace

// The one definition of the string delimiters: the tokenizer and the escaper both use it.
namespace {
constexpr char16_t kStringOpeners[] = {u'"', 0x201C};
constexpr char16_t kStringClosers[] = {u'"', 0x201D};
}  // namespace

bool NSAppleScriptOpensString(UniChar c) {
  for (char16_t d : kStringOpeners)
    if (c == d) return true;
  return false;
}

bool NSAppleScriptClosesString(UniChar c) {
  for (char16_t d : kStringClosers)
    if (c == d) return true;
  return false;
}

CFStringRef NSAppleScriptCopyStringLiteralBody(CFStringRef text) {
  CFMutableStringRef out = CFStringCreateMutable(nullptr, 0);
  CFIndex n = text ? CFStringGetLength(text) : 0;
  const UniChar backslash = u'\\';
  for (CFIndex i = 0; i < n; ++i) {
    UniChar c = CFStringGetCharacterAtIndex(text, i);
    UniChar escaped = c == u'\r' ? u'r' : c == u'\n' ? u'n' : c == u'\t' ? u't' : 0;
    if (escaped) {
      CFStringAppendCharacters(out, &backslash, 1);
      CFStringAppendCharacters(out, &escaped, 1);
      continue;
    }
    if (c == backslash || NSAppleScriptOpensString(c) || NSAppleScriptClosesString(c))
      CFStringAppendCharacters(out, &backslash, 1);
    CFStringAppendCharacters(out, &c, 1);
  }
  return out;
}

namespace {

bool isWordChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
}

std::vector<Token> tokenize(const Text& s) {
  std::vector<Token> out;
  size_t i = 0;
  auto newline = [&](size_t at) {
    if (out.empty() || out.back().kind != Token::Newline) out.push_back({Token::Newline, u"", at, 1});
  };
  while (i < s.size()) {
    char16_t c = s[i];
    if (c == u' ' || c == u'\t' || c == 0xA0) {
      ++i;
    } else if (c == u'\r' || c == u'\n') {
      newline(i);
      ++i;
    } else if (c == 0x00AC) {  // continuation: the line goes on
      ++i;
      while (i < s.size() && (s[i] == u' ' || s[i] == u'\t')) ++i;
      if (i < s.size() && s[i] == u'\r') ++i;
      if (i < s.size() && s[i] == u'\n') ++i;
    } else if (c == u'-' && i + 1 < s.size() && s[i + 1] == u'-') {
      while (i < s.size() && s[i] != u'\r' && s[i] != u'\n') ++i;
    } else if (c == u'(' && i + 1 < s.size() && s[i + 1] == u'*') {
      size_t end = s.find(u"*)", i + 2);
      if (end == Text::npos) throw ScriptError{errOSASyntaxError, u"Expected \"*)\" but found end of script.",
                                               static_cast<CFIndex>(i), static_cast<CFIndex>(s.size() - i)};
      i = end + 2;
    } else if (NSAppleScriptOpensString(c)) {
      size_t start = i++;
      Text value;
      bool closed = false;
      while (i < s.size()) {
        char16_t d = s[i++];
        if (NSAppleScriptClosesString(d)) {
          closed = true;
          break;
        }
        if (d == u'\\' && i < s.size()) {
          char16_t e = s[i++];
          switch (e) {
            case u'n': value.push_back(u'\n'); break;
            case u'r': value.push_back(u'\r'); break;
            case u't': value.push_back(u'\t'); break;
            case u'"': value.push_back(u'"'); break;
            case u'\\': value.push_back(u'\\'); break;
            default:
              if (NSAppleScriptOpensString(e) || NSAppleScriptClosesString(e)) {
                value.push_back(e);
                break;
              }
              throw ScriptError{errOSASyntaxError, u"Unknown escape sequence \"\\" + Text(1, e) + u"\" in a string.",
                                static_cast<CFIndex>(i - 2), 2};
          }
          continue;
        }
        value.push_back(d);
      }
      if (!closed)
        throw ScriptError{errOSASyntaxError, u"Expected \"\"\" but found end of script.", static_cast<CFIndex>(start),
                          static_cast<CFIndex>(s.size() - start)};
      out.push_back({Token::String, value, start, i - start});
    } else if (isWordChar(c)) {
      size_t start = i;
      while (i < s.size() && isWordChar(s[i])) ++i;
      out.push_back({Token::Word, s.substr(start, i - start), start, i - start});
    } else if (Text(u"{}:,&=()").find(c) != Text::npos) {
      out.push_back({Token::Symbol, Text(1, c), i, 1});
      ++i;
    } else {
      throw ScriptError{errOSASyntaxError, u"Expected expression but found unknown token.", static_cast<CFIndex>(i), 1};
    }
  }
  newline(s.size());
  out.push_back({Token::End, u"", s.size(), 0});
  return out;
}

// ---------------------------------------------------------------------------------------------
// Syntax tree

struct Expr {
  enum Kind { String, Variable, TagValue, Concat, Equal, NotEqual } kind;
  Text text;  // strings: value; variables: name as written
  std::vector<Expr> parts;
};

struct Stmt {
  enum Kind { TellApplication, TellVersion, Try, If, SetVariable, SetTag, MakeTag, Evaluate } kind;
  Text name;                  // application name, variable name, error variable
  std::vector<Expr> exprs;    // version name; condition; value; tag name + value; make: name + value
  std::vector<Stmt> body;     // tell/try/if-then body
  std::vector<Stmt> handler;  // on error / else
};

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  std::vector<Stmt> script() {
    std::vector<Stmt> body = block();
    if (peek().kind != Token::End) fail(u"Expected end of script but found " + describe(peek()) + u".");
    return body;
  }

 private:
  const Token& peek(size_t ahead = 0) const { return t_[std::min(i_ + ahead, t_.size() - 1)]; }
  const Token& next() { return t_[i_ < t_.size() - 1 ? i_++ : i_]; }
  [[noreturn]] void fail(const Text& message, const Token* at = nullptr) const {
    const Token& tok = at ? *at : peek();
    throw ScriptError{errOSASyntaxTypeError, message, static_cast<CFIndex>(tok.pos), static_cast<CFIndex>(tok.len)};
  }
  void expectWord(const char* word) {
    if (!peek().is(word)) fail(u"Expected \"" + ascii(word) + u"\" but found " + describe(peek()) + u".");
    next();
  }
  void expectSymbol(char16_t c) {
    if (!peek().isSymbol(c)) fail(u"Expected \"" + Text(1, c) + u"\" but found " + describe(peek()) + u".");
    next();
  }
  void endOfLine() {
    if (peek().kind != Token::Newline && peek().kind != Token::End)
      fail(u"Expected end of line but found " + describe(peek()) + u".");
    if (peek().kind == Token::Newline) next();
  }
  void skipNewlines() {
    while (peek().kind == Token::Newline) next();
  }
  bool atBlockEnd() const {
    const Token& t = peek();
    return t.kind == Token::End || t.is("end") || t.is("else") || (t.is("on") && peek(1).is("error"));
  }

  std::vector<Stmt> block() {
    std::vector<Stmt> body;
    skipNewlines();
    while (!atBlockEnd()) {
      body.push_back(statement());
      skipNewlines();
    }
    return body;
  }

  // "end" or "end WORD" closing a block that began with `word` at `opener`.
  void closeBlock(const char* word, const Token& opener) {
    if (!peek().is("end"))
      fail(u"Expected \"end\" or \"end " + ascii(word) + u"\" but found " + describe(peek()) + u".", &opener);
    next();
    if (peek().kind == Token::Word && !peek().is(word))
      fail(u"Expected \"end\" or \"end " + ascii(word) + u"\" but found \"end " + peek().text + u"\".");
    if (peek().is(word)) next();
    endOfLine();
  }

  Stmt statement() {
    const Token& first = peek();
    if (first.is("tell")) return tell();
    if (first.is("try")) return tryBlock();
    if (first.is("if")) return ifBlock();
    if (first.is("set")) return set();
    if (first.is("make")) return make();
    if (first.kind == Token::String || first.isSymbol(u'(')) {
      Stmt s{Stmt::Evaluate, {}, {expression()}, {}, {}};
      endOfLine();
      return s;
    }
    fail(u"Expected end of line, etc. but found " + describe(first) + u".");
  }

  Stmt tell() {
    const Token& opener = next();
    Stmt s{};
    if (peek().is("application")) {
      next();
      if (peek().kind != Token::String) fail(u"Expected application name but found " + describe(peek()) + u".");
      s.kind = Stmt::TellApplication;
      s.name = next().text;
    } else if (peek().is("image") && peek(1).is("version")) {
      next();
      next();
      s.kind = Stmt::TellVersion;
      s.exprs.push_back(primary());
    } else {
      fail(u"Expected \"application\" or \"image version\" but found " + describe(peek()) + u".");
    }
    endOfLine();
    s.body = block();
    closeBlock("tell", opener);
    return s;
  }

  Stmt tryBlock() {
    const Token& opener = next();
    endOfLine();
    Stmt s{Stmt::Try, {}, {}, block(), {}};
    if (peek().is("on")) {
      next();
      expectWord("error");
      if (peek().kind == Token::Word) s.name = next().text;
      endOfLine();
      s.handler = block();
    }
    closeBlock("try", opener);
    return s;
  }

  Stmt ifBlock() {
    const Token& opener = next();
    Stmt s{Stmt::If, {}, {expression()}, {}, {}};
    expectWord("then");
    endOfLine();
    s.body = block();
    if (peek().is("else")) {
      next();
      endOfLine();
      s.handler = block();
    }
    closeBlock("if", opener);
    return s;
  }

  Stmt set() {
    next();
    Stmt s{};
    if (peek().is("value") && peek(1).is("of")) {
      next();
      next();
      s.kind = Stmt::SetTag;
      s.exprs.push_back(tagReference());
    } else if (isVariableName(peek())) {
      s.kind = Stmt::SetVariable;
      s.name = next().text;
    } else {
      fail(u"Expected variable name or property but found " + describe(peek()) + u".");
    }
    expectWord("to");
    s.exprs.push_back(expression());
    endOfLine();
    return s;
  }

  Stmt make() {
    next();
    expectWord("new");
    expectWord("IPTC");
    expectWord("tag");
    expectWord("with");
    expectWord("properties");
    const Token& brace = peek();
    expectSymbol(u'{');
    std::optional<Expr> name, value;
    while (true) {
      const Token& key = peek();
      if (!key.is("name") && !key.is("value")) fail(u"Expected \"name\" or \"value\" but found " + describe(key) + u".");
      bool isName = key.is("name");
      next();
      expectSymbol(u':');
      (isName ? name : value) = expression();
      if (peek().isSymbol(u',')) {
        next();
        continue;
      }
      expectSymbol(u'}');
      break;
    }
    if (!name || !value) fail(u"A new IPTC tag needs both a name and a value.", &brace);
    Stmt s{Stmt::MakeTag, {}, {std::move(*name), std::move(*value)}, {}, {}};
    endOfLine();
    return s;
  }

  // "IPTC tag <name>" after "value of".
  Expr tagReference() {
    expectWord("IPTC");
    expectWord("tag");
    return primary();
  }

  static bool isReserved(const Token& t) {
    static const char* words[] = {"tell", "end", "try", "on", "error", "if", "then", "else", "set", "to",
                                  "make", "new", "with", "properties", "of", "return", "tab", "is"};
    for (const char* w : words)
      if (t.is(w)) return true;
    return false;
  }

  // Variable names are words that are not reserved and do not start with a digit (numbers
  // are not part of the language).
  static bool isVariableName(const Token& t) {
    return t.kind == Token::Word && !isReserved(t) && !(t.text[0] >= u'0' && t.text[0] <= u'9');
  }

  Expr expression() {
    Expr left = concatenation();
    if (peek().isSymbol(u'=') || (peek().is("is") && !peek(1).is("not"))) {
      next();
      return Expr{Expr::Equal, {}, {std::move(left), concatenation()}};
    }
    if (peek().is("is") && peek(1).is("not")) {
      next();
      next();
      return Expr{Expr::NotEqual, {}, {std::move(left), concatenation()}};
    }
    return left;
  }

  Expr concatenation() {
    Expr e = primary();
    while (peek().isSymbol(u'&')) {
      next();
      Expr c{Expr::Concat, {}, {std::move(e), primary()}};
      e = std::move(c);
    }
    return e;
  }

  Expr primary() {
    const Token& t = peek();
    if (t.kind == Token::String) return Expr{Expr::String, next().text, {}};
    if (t.is("return")) {
      next();
      return Expr{Expr::String, u"\r", {}};
    }
    if (t.is("tab")) {
      next();
      return Expr{Expr::String, u"\t", {}};
    }
    if (t.isSymbol(u'(')) {
      next();
      Expr e = expression();
      expectSymbol(u')');
      return e;
    }
    if (t.is("value") && peek(1).is("of")) {
      next();
      next();
      return Expr{Expr::TagValue, {}, {tagReference()}};
    }
    if (isVariableName(t)) return Expr{Expr::Variable, next().text, {}};
    fail(u"Expected expression but found " + describe(t) + u".");
  }

  std::vector<Token> t_;
  size_t i_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Running

using Value = std::variant<Text, bool>;

Text asText(const Value& v) {
  if (const Text* t = std::get_if<Text>(&v)) return *t;
  return std::get<bool>(v) ? u"true" : u"false";
}

class Interpreter {
 public:
  explicit Interpreter(NSAppleScriptTarget* target) : target_(target) {}

  void run(const std::vector<Stmt>& body) {
    for (const auto& s : body) execute(s);
  }

 private:
  [[noreturn]] static void fail(OSStatus number, const Text& message) { throw ScriptError{number, message}; }

  const Text& version() {
    if (!inApplication_ || !version_) fail(errAENoSuchObject, u"Can't get IPTC tag: no image version is addressed.");
    if (!target_->hasImageVersion(stringOf(*version_).get()))
      fail(errAENoSuchObject, u"Can't get image version \"" + *version_ + u"\".");
    return *version_;
  }

  Text tagOf(const Expr& e) { return asText(evaluate(e)); }

  Value evaluate(const Expr& e) {
    switch (e.kind) {
      case Expr::String: return e.text;
      case Expr::Variable: {
        auto it = variables_.find(lower(e.text));
        if (it == variables_.end()) fail(errOSAUndefinedVariable, u"The variable " + e.text + u" is not defined.");
        return it->second;
      }
      case Expr::TagValue: {
        Text tag = tagOf(e.parts[0]);
        const Text& v = version();
        CFRef<CFStringRef> value;
        OSStatus err = target_->copyIPTCTagValue(stringOf(v).get(), stringOf(tag).get(), value.receive());
        if (err != noErr || !value)
          fail(err != noErr ? err : errAENoSuchObject,
               u"Can't get IPTC tag \"" + tag + u"\" of image version \"" + v + u"\".");
        return textOf(value.get());
      }
      case Expr::Concat: return asText(evaluate(e.parts[0])) + asText(evaluate(e.parts[1]));
      case Expr::Equal:
      case Expr::NotEqual: {
        Value a = evaluate(e.parts[0]), b = evaluate(e.parts[1]);
        bool same;
        if (a.index() != b.index()) {
          same = false;
        } else if (const Text* ta = std::get_if<Text>(&a)) {
          // Text comparison ignores case, as the language does by default.
          same = CFStringCompare(stringOf(*ta).get(), stringOf(std::get<Text>(b)).get(), kCFCompareCaseInsensitive) ==
                 kCFCompareEqualTo;
        } else {
          same = a == b;
        }
        return e.kind == Expr::Equal ? same : !same;
      }
    }
    return Text();
  }

  void execute(const Stmt& s) {
    switch (s.kind) {
      case Stmt::TellApplication: {
        if (!target_ || !target_->respondsToApplicationName(stringOf(s.name).get()))
          fail(errAENoSuchObject, u"Can't get application \"" + s.name + u"\".");
        bool outer = inApplication_;
        inApplication_ = true;
        run(s.body);
        inApplication_ = outer;
        break;
      }
      case Stmt::TellVersion: {
        if (!inApplication_) fail(errAENoSuchObject, u"Can't get image version: no application is addressed.");
        auto outer = version_;
        version_ = asText(evaluate(s.exprs[0]));
        run(s.body);
        version_ = outer;
        break;
      }
      case Stmt::Try:
        try {
          run(s.body);
        } catch (const ScriptError& e) {
          if (!s.name.empty()) variables_[lower(s.name)] = e.message;
          run(s.handler);
        }
        break;
      case Stmt::If: {
        Value cond = evaluate(s.exprs[0]);
        const bool* b = std::get_if<bool>(&cond);
        if (!b) fail(-1700, u"Can't make \"" + asText(cond) + u"\" into type boolean.");
        run(*b ? s.body : s.handler);
        break;
      }
      case Stmt::SetVariable: variables_[lower(s.name)] = evaluate(s.exprs[0]); break;
      case Stmt::SetTag: {
        Text tag = tagOf(s.exprs[0]);
        Text value = asText(evaluate(s.exprs[1]));
        const Text& v = version();
        OSStatus err = target_->setIPTCTagValue(stringOf(v).get(), stringOf(tag).get(), stringOf(value).get());
        if (err == errAENoSuchObject) fail(err, u"Can't get IPTC tag \"" + tag + u"\" of image version \"" + v + u"\".");
        if (err != noErr) fail(err, u"Can't set IPTC tag \"" + tag + u"\" of image version \"" + v + u"\".");
        break;
      }
      case Stmt::MakeTag: {
        Text tag = asText(evaluate(s.exprs[0]));
        Text value = asText(evaluate(s.exprs[1]));
        const Text& v = version();
        OSStatus err = target_->makeIPTCTag(stringOf(v).get(), stringOf(tag).get(), stringOf(value).get());
        if (err != noErr) fail(err, u"Can't make IPTC tag \"" + tag + u"\" in image version \"" + v + u"\".");
        break;
      }
      case Stmt::Evaluate: evaluate(s.exprs[0]); break;
    }
  }

  NSAppleScriptTarget* target_;
  bool inApplication_ = false;
  std::optional<Text> version_;
  std::map<Text, Value> variables_;
};

CFDictionaryRef makeErrorInfo(const ScriptError& e) {
  CFRef<CFMutableDictionaryRef> d(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFRef<CFStringRef> message = stringOf(e.message);
  SInt32 number = e.number;
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &number));
  CFDictionarySetValue(d.get(), NSAppleScriptErrorMessage, message.get());
  CFDictionarySetValue(d.get(), NSAppleScriptErrorBriefMessage, message.get());
  CFDictionarySetValue(d.get(), NSAppleScriptErrorNumber, n.get());
  if (e.location >= 0) {
    CFRef<CFStringRef> range(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("{%ld, %ld}"), static_cast<long>(e.location),
                                                      static_cast<long>(e.length)));
    CFDictionarySetValue(d.get(), NSAppleScriptErrorRange, range.get());
  }
  return d.release();
}

}  // namespace

struct NSAppleScript::Program {
  std::vector<Stmt> body;
};

void NSAppleScriptSetScriptingTarget(NSAppleScriptTarget* target) { gTarget.store(target); }

NSAppleScript::NSAppleScript() = default;
NSAppleScript::~NSAppleScript() = default;

NSAppleScript* NSAppleScript::initWithSource(CFStringRef source) {
  source_ = CFRef<CFStringRef>::retain(source);
  program_.reset();
  return this;
}

CFStringRef NSAppleScript::source() const { return source_.get(); }

bool NSAppleScript::isCompiled() const { return program_ != nullptr; }

bool NSAppleScript::compileAndReturnError(CFDictionaryRef* errorInfo) {
  if (errorInfo) *errorInfo = nullptr;
  if (program_) return true;
  try {
    if (!source_) throw ScriptError{errOSASyntaxError, u"There is no script to compile."};
    auto program = std::make_unique<Program>();
    program->body = Parser(tokenize(textOf(source_.get()))).script();
    program_ = std::move(program);
    return true;
  } catch (const ScriptError& e) {
    if (errorInfo) *errorInfo = makeErrorInfo(e);
  } catch (const std::exception&) {
    if (errorInfo) *errorInfo = makeErrorInfo(ScriptError{errAEEventFailed, u"The script could not be compiled."});
  }
  return false;
}

CFTypeRef NSAppleScript::executeAndReturnError(CFDictionaryRef* errorInfo) {
  if (!compileAndReturnError(errorInfo)) return nullptr;
  try {
    Interpreter(gTarget.load()).run(program_->body);
    return CFStringCreateWithCString(nullptr, "", kCFStringEncodingASCII);
  } catch (const ScriptError& e) {
    if (errorInfo) *errorInfo = makeErrorInfo(e);
  } catch (const std::exception&) {
    if (errorInfo) *errorInfo = makeErrorInfo(ScriptError{errAEEventFailed, u"The script failed."});
  }
  return nullptr;
}

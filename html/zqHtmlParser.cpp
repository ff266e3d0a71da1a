#include "html/zqHtmlParser.h"

#include <algorithm>
#include <unordered_map>

#include "codec/zqTranslator.h"
#include "core/zqError.h"
#include "core/zqText.h"
#include "html/zqHtmlEntities.h"

namespace zq {

namespace {

const char* const sListIndexError = "List index out of bounds (%d)";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsQuote(char c) { return c == '"' || c == '\''; }
bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

void CheckListIndex(int index, size_t count) {
  if (index < 0 || static_cast<size_t>(index) >= count) throw EzqError(Format(sListIndexError, index));
}

// Where the tag name of a tag text ends.
size_t TagNameEnd(std::string_view tagText) {
  size_t end = tagText.find_first_of(" \t\n\r\"'=");
  return end == std::string_view::npos ? tagText.size() : end;
}

// "<br/>", "<img src='x' />": a slash that ends the text after the name or after a blank or a
// closing quote marks an element without content. In "<a href=x/>" it belongs to the value.
bool HasSelfClosingSlash(std::string_view tagText) {
  if (tagText.size() < 2 || tagText.back() != '/') return false;
  char before = tagText[tagText.size() - 2];
  return IsBlank(before) || IsQuote(before) || TagNameEnd(tagText) == tagText.size();
}

std::string_view WithoutSelfClosingSlash(std::string_view tagText) {
  return HasSelfClosingSlash(tagText) ? tagText.substr(0, tagText.size() - 1) : tagText;
}

std::string RemoveLineBreaksAndTabs(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text)
    if (c != '\t' && c != '\n' && c != '\r') result += c;
  return result;
}

using TzqAttributeSink = std::function<void(std::string name, std::string value, int64_t offset)>;

// The attribute reader: one pass over the characters of a tag's attribute text.
class TzqAttributeReader {
public:
  explicit TzqAttributeReader(const TzqAttributeSink& sink) : sink_(sink) {}

  void Read(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (IsBlank(c))
        Blank(c);
      else if (IsQuote(c))
        Quote(c, i);
      else if (c == '=')
        Equals(c, i);
      else
        Other(c, i);
    }
    if (inValue_ || valueRead_ || !name_.empty()) Emit();
  }

private:
  void Other(char c, size_t i) {
    if (nameComplete_) {
      Emit();
      StartName(c, i);
    } else if (inValue_) {
      JoinValue(c, i);
    } else if (valueRead_) {
      Emit();
      StartName(c, i);
    } else {
      if (name_.empty()) namePos_ = i;
      name_ += c;
    }
  }

  void Quote(char c, size_t i) {
    if (quote_ != 0) {
      if (c != quote_) return JoinValue(c, i);
      quote_ = 0;
      inValue_ = false;
      if (value_.empty()) {
        valuePos_ = i;
        return Emit();
      }
      valueRead_ = true;
    } else if (inValue_) {
      quote_ = c;
      if (value_.empty()) valuePos_ = i + 1;
    } else {
      Reset();
    }
  }

  void Equals(char c, size_t i) {
    if (quote_ != 0 || (inValue_ && !value_.empty())) return JoinValue(c, i);
    if (valueRead_) Emit();
    nameComplete_ = false;
    inValue_ = true;
    valuePos_ = i + 1;
  }

  void Blank(char c) {
    if (quote_ != 0) {
      value_ += c;
    } else if (valueRead_ || (inValue_ && !value_.empty())) {
      Emit();
    } else if (!name_.empty() && !inValue_) {
      nameComplete_ = true;
    }
  }

  void JoinValue(char c, size_t i) {
    if (value_.empty() && quote_ == 0) valuePos_ = i;
    value_ += c;
  }

  void StartName(char c, size_t i) {
    name_.assign(1, c);
    namePos_ = i;
  }

  void Emit() {
    bool hasValue = inValue_ || valueRead_;
    sink_(std::move(name_), DecodeCharacterReferences(value_), static_cast<int64_t>(hasValue ? valuePos_ : namePos_));
    Reset();
  }

  void Reset() {
    name_.clear();
    value_.clear();
    nameComplete_ = inValue_ = valueRead_ = false;
    quote_ = 0;
  }

  const TzqAttributeSink& sink_;
  std::string name_;
  std::string value_;
  size_t namePos_ = 0;
  size_t valuePos_ = 0;
  bool nameComplete_ = false;  // a name followed by blanks
  bool inValue_ = false;       // after "="
  bool valueRead_ = false;     // a quoted value has been closed
  char quote_ = 0;
};

void ReadAttributes(std::string_view text, const TzqAttributeSink& sink) { TzqAttributeReader(sink).Read(text); }

enum TzqTagKind { tkPlain, tkForm, tkLink, tkFrame, tkImage, tkTable, tkTableRow, tkTableCell, tkMeta };

TzqTagKind KindOf(std::string_view name) {
  static const std::unordered_map<std::string, TzqTagKind> kinds = {
      {"form", tkForm},   {"a", tkLink},      {"frame", tkFrame},  {"iframe", tkFrame}, {"img", tkImage},
      {"table", tkTable}, {"tr", tkTableRow}, {"td", tkTableCell}, {"th", tkTableCell}, {"meta", tkMeta}};
  if (name.size() > 6) return tkPlain;
  auto found = kinds.find(LowerCase(name));
  return found == kinds.end() ? tkPlain : found->second;
}

std::unique_ptr<TzqHtmlTag> NewTag(TzqTagKind kind, const std::string& name, const std::string& source,
                                   TzqHtmlTag* owner, TzqHtmlParser* parser) {
  switch (kind) {
    case tkForm:
      return std::make_unique<TzqHtmlForm>(name, source, owner, parser);
    case tkLink:
      return std::make_unique<TzqHtmlLink>(name, source, owner, parser);
    case tkFrame:
      return std::make_unique<TzqHtmlFrame>(name, source, owner, parser);
    case tkImage:
      return std::make_unique<TzqHtmlImage>(name, source, owner, parser);
    case tkTable:
      return std::make_unique<TzqHtmlTable>(name, source, owner, parser);
    case tkTableRow:
      return std::make_unique<TzqHtmlTableRow>(name, source, owner, parser);
    case tkTableCell:
      return std::make_unique<TzqHtmlTableCell>(name, source, owner, parser);
    case tkMeta:
      return std::make_unique<TzqHtmlMetaTag>(name, source, owner, parser);
    case tkPlain:
      break;
  }
  return std::make_unique<TzqHtmlTag>(name, source, owner, parser);
}

template <class Event, class... Args>
void Fire(const Event& event, Args... args) {
  if (event) event(args...);
}

bool IsFormControlName(std::string_view name) {
  return SameText(name, "input") || SameText(name, "select") || SameText(name, "textarea");
}

// Elements whose content is text up to their end tag, never markup.
bool IsRawTextElement(std::string_view name) {
  return SameText(name, "script") || SameText(name, "style") || SameText(name, "title") || SameText(name, "textarea");
}

}  // namespace

// ---- attributes and tag lists -------------------------------------------------------------

TzqHtmlAttribute* TzqHtmlAttributeList::Items(int index) const {
  CheckListIndex(index, items_.size());
  return items_[static_cast<size_t>(index)].get();
}

TzqHtmlAttribute* TzqHtmlAttributeList::Add(std::unique_ptr<TzqHtmlAttribute> attribute) {
  attribute->tag_ = tag_;
  items_.push_back(std::move(attribute));
  return items_.back().get();
}

TzqHtmlAttribute* TzqHtmlAttributeList::Find(std::string_view name) const {
  for (const auto& attribute : items_)
    if (SameText(attribute->Name(), name)) return attribute.get();
  return nullptr;
}

std::string TzqHtmlAttributeList::Values(std::string_view name) const {
  TzqHtmlAttribute* attribute = Find(name);
  return attribute ? attribute->Value() : std::string();
}

TzqHtmlTag* TzqHtmlTagList::Items(int index) const {
  CheckListIndex(index, items_.size());
  return items_[static_cast<size_t>(index)];
}

TzqHtmlTag* TzqHtmlOwningTagList::Add(std::unique_ptr<TzqHtmlTag> tag) {
  owned_.push_back(std::move(tag));
  TzqHtmlTagList::Add(owned_.back().get());
  return owned_.back().get();
}

void TzqHtmlOwningTagList::Clear() {
  TzqHtmlTagList::Clear();
  owned_.clear();
}

// ---- tags ---------------------------------------------------------------------------------

TzqHtmlTag::TzqHtmlTag(std::string name, std::string source, TzqHtmlTag* owner, TzqHtmlParser* parser)
    : attributes_(this),
      name_(std::move(name)),
      source_(std::move(source)),
      owner_(owner),
      parser_(parser),
      enclosingForm_(nullptr) {
  if (owner) {
    auto* form = dynamic_cast<TzqHtmlForm*>(owner);
    enclosingForm_ = form ? form : owner->enclosingForm_;
  }
}

void TzqHtmlTag::Parsed() {
  if (!IsFormControlName(name_) || !enclosingForm_) return;
  enclosingForm_->Controls().Add(this);
  if (parser_) parser_->DoParseFormControl(enclosingForm_, this);
}

void TzqHtmlForm::Registered() { Parser()->forms_.Add(this); }

void TzqHtmlForm::Parsed() {
  TzqHtmlTag::Parsed();
  Parser()->DoParseForm(this);
}

void TzqHtmlLink::Registered() {
  Parser()->links_.Add(this);
  Parser()->currentLink_ = this;
}

void TzqHtmlLink::Parsed() {
  TzqHtmlTag::Parsed();
  Parser()->DoParseLink(this);
}

void TzqHtmlFrame::Registered() { Parser()->frames_.Add(this); }

void TzqHtmlFrame::Parsed() {
  TzqHtmlTag::Parsed();
  Parser()->DoParseFrame(this);
}

void TzqHtmlImage::Registered() { Parser()->images_.Add(this); }

void TzqHtmlImage::Parsed() {
  TzqHtmlTag::Parsed();
  Parser()->DoParseImage(this);
}

void TzqHtmlTable::Registered() {
  Parser()->tables_.Add(this);
  Parser()->tableStack_.push_back(this);
}

void TzqHtmlTable::Parsed() {
  TzqHtmlTag::Parsed();
  Parser()->DoParseTable(this);
}

void TzqHtmlTableRow::Registered() {
  if (TzqHtmlTable* table = Parser()->CurrentTable()) table->Rows().Add(this);
}

void TzqHtmlTableRow::Parsed() {
  TzqHtmlTag::Parsed();
  if (TzqHtmlTable* table = Parser()->CurrentTable()) Parser()->DoParseTableRow(table, this);
}

void TzqHtmlTableCell::Registered() {
  if (TzqHtmlTableRow* row = Parser()->CurrentRow()) row->Cells().Add(this);
}

void TzqHtmlTableCell::Parsed() {
  TzqHtmlTag::Parsed();
  TzqHtmlTableRow* row = Parser()->CurrentRow();
  if (row) Parser()->DoParseTableCell(Parser()->CurrentTable(), row, this);
}

void TzqHtmlMetaTag::Registered() { Parser()->metaTags_.Add(this); }

void TzqHtmlMetaTag::Parsed() {
  TzqHtmlTag::Parsed();
  Parser()->DoParseMetaTag(this);
}

// ---- the document scanner -----------------------------------------------------------------

// Walks a document once: tag texts between "<" and ">", comments, text pieces, and the stack
// of open elements that gives each piece its owner. Every step moves forward, so the work is
// linear in the size of the document however deep the nesting.
class TzqHtmlScanner {
public:
  TzqHtmlScanner(TzqHtmlParser& parser, std::string_view document) : parser_(parser), doc_(document) {}

  void Run() {
    size_t textStart = 0;
    size_t pos = 0;
    while (pos < doc_.size()) {
      size_t lt = doc_.find('<', pos);
      if (lt == std::string_view::npos) break;
      if (!StartsMarkup(lt)) {
        pos = lt + 1;
        continue;
      }
      EmitText(textStart, lt);
      pos = textStart = SkipComment(lt);
      if (pos != lt) continue;
      size_t gt = FindTagEnd(lt + 1);
      if (gt == std::string_view::npos) return;  // an unterminated tag ends the document
      pos = textStart = HandleTag(doc_.substr(lt + 1, gt - lt - 1), static_cast<int64_t>(lt + 1), gt + 1);
    }
    EmitText(textStart, doc_.size());
  }

private:
  struct OpenElement {
    TzqHtmlTag* tag;
    std::string lowerName;
  };

  bool StartsMarkup(size_t lt) const {
    if (lt + 1 >= doc_.size()) return false;
    char next = doc_[lt + 1];
    if (IsAsciiLetter(next) || next == '!' || next == '?') return true;
    return next == '/' && lt + 2 < doc_.size() && IsAsciiLetter(doc_[lt + 2]);
  }

  // Returns where the text after a comment starting at lt begins, or lt when none starts there.
  size_t SkipComment(size_t lt) {
    const TzqStringList& starts = parser_.commentStartMarkers_;
    const TzqStringList& ends = parser_.commentEndMarkers_;
    for (int i = 0; i < starts.Count() && i < ends.Count(); ++i) {
      const std::string& start = starts[i];
      if (start.empty() || doc_.compare(lt, start.size(), start) != 0) continue;
      size_t end = doc_.find(ends[i], lt + start.size());
      return end == std::string_view::npos ? doc_.size() : end + ends[i].size();
    }
    return lt;
  }

  // The ">" that ends the tag starting at from; ">" inside a quoted attribute value does not.
  size_t FindTagEnd(size_t from) const {
    char previous = 0;
    for (size_t i = from; i < doc_.size(); ++i) {
      char c = doc_[i];
      if (c == '>') return i;
      if (IsQuote(c) && previous == '=') {
        i = doc_.find(c, i + 1);
        if (i == std::string_view::npos) return i;
      }
      if (!IsBlank(c)) previous = c;
    }
    return std::string_view::npos;
  }

  // Handles one tag text; returns where the scan goes on.
  size_t HandleTag(std::string_view tagText, int64_t position, size_t after) {
    if (tagText[0] == '/') {
      HandleEndTag(tagText, position);
      return after;
    }
    std::string_view name = tagText.substr(0, TagNameEnd(WithoutSelfClosingSlash(tagText)));
    bool createTags = parser_.ParseMethod() != pmTextOnly;
    TzqHtmlTag* tag = createTags ? parser_.ParseTagText(tagText, position, Top()) : nullptr;
    bool selfClosing = HasSelfClosingSlash(tagText);
    if (tag && !selfClosing && Encloses(name)) Push(tag, name);
    if (SameText(name, "meta")) NoteMetaTag(WithoutSelfClosingSlash(tagText).substr(name.size()));
    if (selfClosing || !IsRawTextElement(name)) return after;
    return HandleRawText(name, after);
  }

  size_t HandleRawText(std::string_view name, size_t from) {
    size_t end = FindEndTag(name, from);
    if (SameText(name, "title") && !titleSeen_) {
      titleSeen_ = true;
      parser_.title_ = DecodeCharacterReferences(Trim(doc_.substr(from, end - from)));
    }
    // Script and style text is code: "&amp;" there is what it says.
    parser_.inCode_ = SameText(name, "script") || SameText(name, "style");
    EmitText(from, end);
    parser_.inCode_ = false;
    return end;
  }

  // The "</name" that ends raw text starting at from, or the end of the document.
  size_t FindEndTag(std::string_view name, size_t from) const {
    for (size_t i = doc_.find("</", from); i != std::string_view::npos; i = doc_.find("</", i + 2)) {
      size_t after = i + 2 + name.size();
      if (after > doc_.size()) break;
      if (!SameText(doc_.substr(i + 2, name.size()), name)) continue;
      if (after == doc_.size() || doc_[after] == '>' || doc_[after] == '/' || IsBlank(doc_[after])) return i;
    }
    return doc_.size();
  }

  void HandleEndTag(std::string_view tagText, int64_t position) {
    std::string_view body = WithoutSelfClosingSlash(tagText.substr(1));
    std::string_view name = body.substr(0, TagNameEnd(body));
    Close(LowerCase(name));
    if (SameText(name, "a")) parser_.currentLink_ = nullptr;
    if (SameText(name, "table") && !parser_.tableStack_.empty()) parser_.tableStack_.pop_back();
    if (parser_.IncludeClosingTags() && parser_.ParseMethod() != pmTextOnly)
      parser_.ParseTagText(tagText, position, Top());
  }

  bool Encloses(std::string_view name) const {
    if (name.empty() || name[0] == '!' || name[0] == '?') return false;
    return parser_.nonClosingTags_.IndexOf(name) < 0;
  }

  void Push(TzqHtmlTag* tag, std::string_view name) {
    open_.push_back({tag, LowerCase(name)});
    ++openCount_[open_.back().lowerName];
  }

  // Closes the innermost open element of that name and everything still open inside it.
  void Close(const std::string& lowerName) {
    auto found = openCount_.find(lowerName);
    if (found == openCount_.end() || found->second == 0) return;
    while (!open_.empty()) {
      OpenElement element = std::move(open_.back());
      open_.pop_back();
      --openCount_[element.lowerName];
      if (element.lowerName == lowerName) return;
    }
  }

  TzqHtmlTag* Top() const { return open_.empty() ? nullptr : open_.back().tag; }

  void EmitText(size_t start, size_t end) {
    if (end <= start || parser_.ParseMethod() == pmTagsOnly) return;
    parser_.CreateTextTag(std::string(doc_.substr(start, end - start)), Top(), static_cast<int64_t>(start));
  }

  // Title, Author, Description and Keywords take the first value the document gives them.
  void NoteMetaTag(std::string_view attributeText) {
    std::string name;
    std::string content;
    bool hasContent = false;
    ReadAttributes(attributeText, [&](std::string attrName, std::string value, int64_t) {
      if (SameText(attrName, "name") && name.empty()) name = std::move(value);
      if (SameText(attrName, "content") && !hasContent) {
        content = std::move(value);
        hasContent = true;
      }
    });
    if (!hasContent) return;
    std::string* field = nullptr;
    if (SameText(name, "author")) field = &parser_.author_;
    if (SameText(name, "description")) field = &parser_.description_;
    if (SameText(name, "keywords")) field = &parser_.keywords_;
    if (field && field->empty()) *field = content;
  }

  TzqHtmlParser& parser_;
  std::string_view doc_;
  std::vector<OpenElement> open_;
  std::unordered_map<std::string, int> openCount_;
  bool titleSeen_ = false;
};

// ---- the parser ---------------------------------------------------------------------------

TzqHtmlParser::TzqHtmlParser(TzqComponent* owner) : TzqComponent(owner) {}

TzqHtmlParser::~TzqHtmlParser() = default;

void TzqHtmlParser::EnsureInitialized() {
  if (initialized_) return;
  initialized_ = true;
  InitNonClosingTags(nonClosingTags_);
  InitCommentMarkers(commentStartMarkers_, commentEndMarkers_);
}

TzqStringList& TzqHtmlParser::NonClosingTags() {
  EnsureInitialized();
  return nonClosingTags_;
}

const TzqStringList& TzqHtmlParser::CommentStartMarkers() {
  EnsureInitialized();
  return commentStartMarkers_;
}

const TzqStringList& TzqHtmlParser::CommentEndMarkers() {
  EnsureInitialized();
  return commentEndMarkers_;
}

void TzqHtmlParser::InitNonClosingTags(TzqStringList& list) {
  for (const char* name : {"br", "input", "select", "textarea", "frame", "iframe", "img", "!doctype", "link"})
    list.Add(name);
}

void TzqHtmlParser::InitCommentMarkers(TzqStringList& startMarkers, TzqStringList& endMarkers) {
  startMarkers.Add("<!--");
  endMarkers.Add("-->");
}

void TzqHtmlParser::ClearResults() {
  // The stack and the current link point into Tags: they go with it.
  tableStack_.clear();
  currentLink_ = nullptr;
  forms_.Clear();
  links_.Clear();
  images_.Clear();
  tables_.Clear();
  frames_.Clear();
  metaTags_.Clear();
  tags_.Clear();
  title_.clear();
  author_.clear();
  description_.clear();
  keywords_.clear();
}

void TzqHtmlParser::Parse(std::string_view document) {
  // The document may be text of the results that ClearResults is about to destroy.
  std::string own(document);
  ClearResults();
  EnsureInitialized();
  TzqHtmlScanner(*this, own).Run();
}

void TzqHtmlParser::Parse(TzqStream& stream, std::string_view charset) {
  const TzqByteArray bytes = stream.ReadRemaining();
  // The translator stops at a zero byte; a stray one must not cut the document short.
  std::string document;
  for (size_t start = 0; start <= bytes.size();) {
    auto zero = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end(), 0);
    auto end = static_cast<size_t>(zero - bytes.begin());
    document += TzqTranslator::BytesToText(bytes.data() + start, static_cast<int64_t>(end - start), charset);
    if (end == bytes.size()) break;
    document += '\0';
    start = end + 1;
  }
  Parse(document);
}

TzqHtmlTable* TzqHtmlParser::CurrentTable() const { return tableStack_.empty() ? nullptr : tableStack_.back(); }

TzqHtmlTableRow* TzqHtmlParser::CurrentRow() const {
  TzqHtmlTable* table = CurrentTable();
  return table ? table->Rows().Last() : nullptr;
}

TzqHtmlTableCell* TzqHtmlParser::CurrentCell() const {
  TzqHtmlTableRow* row = CurrentRow();
  return row ? row->Cells().Last() : nullptr;
}

TzqHtmlTag* TzqHtmlParser::AppendTag(std::unique_ptr<TzqHtmlTag> created, int64_t position) {
  TzqHtmlTag* previous = tags_.Last();
  TzqHtmlTag* tag = tags_.Add(std::move(created));
  if (previous) previous->nextTag_ = tag;
  tag->innerTextPos_ = position;
  return tag;
}

TzqHtmlTag* TzqHtmlParser::CreateTextTag(const std::string& text, TzqHtmlTag* owner, int64_t position) {
  auto created = std::make_unique<TzqHtmlTag>(std::string(), text, owner, this);
  if (!inCode_ && text.find('&') != std::string::npos) created->SetText(DecodeCharacterReferences(text));
  TzqHtmlTag* tag = AppendTag(std::move(created), position);
  if (currentLink_) currentLink_->Tags().Add(tag);
  TzqHtmlTable* table = CurrentTable();
  TzqHtmlTableRow* row = CurrentRow();
  TzqHtmlTableCell* cell = CurrentCell();
  if (cell) cell->Tags().Add(tag);
  tag->isText_ = true;
  DoParseTag(tag);
  if (cell) DoParseTableCellTag(table, row, cell, tag);
  return tag;
}

TzqHtmlTag* TzqHtmlParser::ParseTagText(std::string_view tagText, int64_t position, TzqHtmlTag* owner) {
  if (tagText.empty()) return nullptr;
  std::string_view body = WithoutSelfClosingSlash(tagText);
  size_t nameEnd = TagNameEnd(body);
  TzqHtmlTag* tag =
      CreateTagObject(std::string(body.substr(0, nameEnd)), RemoveLineBreaksAndTabs(tagText), position, owner);
  if (currentLink_) currentLink_->Tags().Add(tag);
  ProcessTag(tag, body.substr(nameEnd), position + static_cast<int64_t>(nameEnd));
  return tag;
}

TzqHtmlTag* TzqHtmlParser::CreateTagObject(const std::string& name, const std::string& source, int64_t position,
                                           TzqHtmlTag* owner) {
  return AppendTag(NewTag(KindOf(name), name, source, owner, this), position);
}

void TzqHtmlParser::ProcessTag(TzqHtmlTag* tag, std::string_view attributeText, int64_t position) {
  TzqHtmlTable* table = nullptr;
  TzqHtmlTableRow* row = nullptr;
  TzqHtmlTableCell* cell = nullptr;
  if (tag->CanBeInCell() && (cell = CurrentCell()) != nullptr) {
    table = CurrentTable();
    row = CurrentRow();
    cell->Tags().Add(tag);
  }
  tag->Registered();
  ParseAttributes(tag, attributeText, position);
  DoParseTag(tag);
  tag->Parsed();
  if (cell) DoParseTableCellTag(table, row, cell, tag);
}

void TzqHtmlParser::ParseAttributes(TzqHtmlTag* tag, std::string_view text, int64_t position) {
  if (text.empty() || SameText(tag->Name(), "!DOCTYPE")) return;
  ReadAttributes(text, [&](std::string name, std::string value, int64_t offset) {
    auto attribute = std::make_unique<TzqHtmlAttribute>(std::move(name), std::move(value), position + offset);
    DoParseAttribute(tag, tag->Attributes().Add(std::move(attribute)));
  });
}

void TzqHtmlParser::DoParseTag(TzqHtmlTag* tag) { Fire(OnParseTag, this, tag); }

void TzqHtmlParser::DoParseAttribute(TzqHtmlTag* tag, TzqHtmlAttribute* attribute) {
  Fire(OnParseAttribute, this, tag, attribute);
}

void TzqHtmlParser::DoParseForm(TzqHtmlForm* form) { Fire(OnParseForm, this, form); }

void TzqHtmlParser::DoParseLink(TzqHtmlLink* link) { Fire(OnParseLink, this, link); }

void TzqHtmlParser::DoParseFrame(TzqHtmlFrame* frame) { Fire(OnParseFrame, this, frame); }

void TzqHtmlParser::DoParseImage(TzqHtmlImage* image) { Fire(OnParseImage, this, image); }

void TzqHtmlParser::DoParseFormControl(TzqHtmlForm* form, TzqHtmlTag* control) {
  Fire(OnParseFormControl, this, form, control);
}

void TzqHtmlParser::DoParseTable(TzqHtmlTable* table) { Fire(OnParseTable, this, table); }

void TzqHtmlParser::DoParseTableRow(TzqHtmlTable* table, TzqHtmlTableRow* row) {
  Fire(OnParseTableRow, this, table, row);
}

void TzqHtmlParser::DoParseTableCell(TzqHtmlTable* table, TzqHtmlTableRow* row, TzqHtmlTableCell* cell) {
  Fire(OnParseTableCell, this, table, row, cell);
}

void TzqHtmlParser::DoParseTableCellTag(TzqHtmlTable* table, TzqHtmlTableRow* row, TzqHtmlTableCell* cell,
                                        TzqHtmlTag* tag) {
  Fire(OnParseTableCellTag, this, table, row, cell, tag);
}

void TzqHtmlParser::DoParseMetaTag(TzqHtmlTag* tag) { Fire(OnParseMetaTag, this, tag); }

}  // namespace zq

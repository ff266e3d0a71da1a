#pragma once
// An HTML parser component: turns a document into a flat list of tags and text pieces and
// sorts the interesting tags (forms and their controls, links, images, tables with rows and
// cells, frames, meta tags) into typed lists, with an event for each.
//
// Every list except the parser's Tags only refers to tags that Tags owns; a tag lives until
// ClearResults, the next Parse or the parser's destruction. The parser is not a tree builder:
// the owner of a tag is the innermost open element when the tag was met, an end tag closes the
// innermost open element of its name (and whatever is still open inside it), and tags without
// content (NonClosingTags, "<x/>", declarations such as "!doctype" or "?xml") never enclose.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"

namespace zq {

class TzqHtmlParser;
class TzqHtmlTag;
class TzqHtmlForm;

class ZQ_API TzqHtmlAttribute : public TzqObject {
public:
  TzqHtmlAttribute(std::string name, std::string value, int64_t innerTextPos)
      : name_(std::move(name)), value_(std::move(value)), innerTextPos_(innerTextPos) {}

  std::string ClassName() const override { return "TzqHtmlAttribute"; }

  const std::string& Name() const { return name_; }
  // Character references decoded; the tag's Source keeps them as written.
  const std::string& Value() const { return value_; }
  // Offset of the value's first character in the document (of the name when it has none).
  int64_t InnerTextPos() const { return innerTextPos_; }
  TzqHtmlTag* Tag() const { return tag_; }

private:
  friend class TzqHtmlAttributeList;

  std::string name_;
  std::string value_;
  int64_t innerTextPos_;
  TzqHtmlTag* tag_ = nullptr;
};

// The attributes of a tag, in the order written; duplicates all stay.
class ZQ_API TzqHtmlAttributeList {
public:
  explicit TzqHtmlAttributeList(TzqHtmlTag* tag) : tag_(tag) {}
  TzqHtmlAttributeList(const TzqHtmlAttributeList&) = delete;
  TzqHtmlAttributeList& operator=(const TzqHtmlAttributeList&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EzqError "List index out of bounds (n)" outside 0 .. Count-1.
  TzqHtmlAttribute* Items(int index) const;
  TzqHtmlAttribute* operator[](int index) const { return Items(index); }
  TzqHtmlAttribute* Add(std::unique_ptr<TzqHtmlAttribute> attribute);
  // The first attribute of that name (without regard to case), or none.
  TzqHtmlAttribute* Find(std::string_view name) const;
  // The value of Find(name), empty when there is none.
  std::string Values(std::string_view name) const;

private:
  TzqHtmlTag* tag_;
  std::vector<std::unique_ptr<TzqHtmlAttribute>> items_;
};

class ZQ_API TzqHtmlTag : public TzqObject {
public:
  TzqHtmlTag(std::string name, std::string source, TzqHtmlTag* owner, TzqHtmlParser* parser);
  ~TzqHtmlTag() override = default;
  TzqHtmlTag(const TzqHtmlTag&) = delete;
  TzqHtmlTag& operator=(const TzqHtmlTag&) = delete;

  std::string ClassName() const override { return "TzqHtmlTag"; }

  TzqHtmlAttributeList& Attributes() { return attributes_; }
  const TzqHtmlAttributeList& Attributes() const { return attributes_; }
  // Empty for a text piece.
  const std::string& Name() const { return name_; }
  // The tag text as found (without the angle brackets, tabs and line breaks), or the text piece.
  const std::string& Source() const { return source_; }
  // Starts as Source; kept apart only once set, so that most tags carry their text once. A text
  // piece's Text has its character references decoded (not in script or style).
  const std::string& Text() const { return textSet_ ? text_ : source_; }
  void SetText(const std::string& text) {
    text_ = text;
    textSet_ = true;
  }
  TzqHtmlTag* Owner() const { return owner_; }
  TzqHtmlParser* Parser() const { return parser_; }
  TzqHtmlTag* NextTag() const { return nextTag_; }
  int64_t InnerTextPos() const { return innerTextPos_; }
  bool IsText() const { return isText_; }
  // The nearest form on the Owner chain, or none.
  TzqHtmlForm* EnclosingForm() const { return enclosingForm_; }

  // Called once the tag has been created and placed.
  virtual void Registered() {}
  // Called after the attributes were read: form controls join their form.
  virtual void Parsed();
  virtual bool CanBeInCell() const { return true; }

private:
  friend class TzqHtmlParser;

  TzqHtmlAttributeList attributes_;
  std::string name_;
  std::string source_;
  std::string text_;
  TzqHtmlTag* owner_;
  TzqHtmlParser* parser_;
  TzqHtmlTag* nextTag_ = nullptr;
  int64_t innerTextPos_ = 0;
  bool isText_ = false;
  bool textSet_ = false;
  // Cached so that finding a control's form costs nothing however deep the nesting.
  TzqHtmlForm* enclosingForm_;
};

// A list of tags that refers to them; the parser's own list (TzqHtmlOwningTagList) holds them.
class ZQ_API TzqHtmlTagList : public TzqObject {
public:
  TzqHtmlTagList() = default;
  TzqHtmlTagList(const TzqHtmlTagList&) = delete;
  TzqHtmlTagList& operator=(const TzqHtmlTagList&) = delete;

  std::string ClassName() const override { return "TzqHtmlTagList"; }

  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EzqError "List index out of bounds (n)" outside 0 .. Count-1.
  TzqHtmlTag* Items(int index) const;
  TzqHtmlTag* operator[](int index) const { return Items(index); }
  void Add(TzqHtmlTag* tag) { items_.push_back(tag); }
  TzqHtmlTag* Last() const { return items_.empty() ? nullptr : items_.back(); }
  void Clear() { items_.clear(); }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

private:
  std::vector<TzqHtmlTag*> items_;
};

// The list that owns its tags: they live until Clear or the list's end.
class ZQ_API TzqHtmlOwningTagList : public TzqHtmlTagList {
public:
  TzqHtmlTag* Add(std::unique_ptr<TzqHtmlTag> tag);
  void Clear();

private:
  using TzqHtmlTagList::Add;
  std::vector<std::unique_ptr<TzqHtmlTag>> owned_;
};

// The tag list typed for one item class; it refers to tags the parser owns.
template <class T>
class TzqHtmlTypedTagList : public TzqHtmlTagList {
public:
  T* Items(int index) const { return static_cast<T*>(TzqHtmlTagList::Items(index)); }
  T* operator[](int index) const { return Items(index); }
  void Add(T* tag) { TzqHtmlTagList::Add(tag); }
  T* Last() const { return static_cast<T*>(TzqHtmlTagList::Last()); }
};

class ZQ_API TzqHtmlForm : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlForm"; }
  TzqHtmlTagList& Controls() { return controls_; }
  void Registered() override;
  void Parsed() override;

private:
  TzqHtmlTagList controls_;
};

class ZQ_API TzqHtmlLink : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlLink"; }
  // The tags and text pieces met while this link was current.
  TzqHtmlTagList& Tags() { return tags_; }
  void Registered() override;
  void Parsed() override;

private:
  TzqHtmlTagList tags_;
};

class ZQ_API TzqHtmlFrame : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlFrame"; }
  void Registered() override;
  void Parsed() override;
};

class ZQ_API TzqHtmlImage : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlImage"; }
  void Registered() override;
  void Parsed() override;
};

class ZQ_API TzqHtmlTableCell : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlTableCell"; }
  // The tags and text pieces met while this was the current cell.
  TzqHtmlTagList& Tags() { return tags_; }
  void Registered() override;
  void Parsed() override;
  bool CanBeInCell() const override { return false; }

private:
  TzqHtmlTagList tags_;
};

using TzqHtmlTableCellList = TzqHtmlTypedTagList<TzqHtmlTableCell>;

class ZQ_API TzqHtmlTableRow : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlTableRow"; }
  TzqHtmlTableCellList& Cells() { return cells_; }
  void Registered() override;
  void Parsed() override;
  bool CanBeInCell() const override { return false; }

private:
  TzqHtmlTableCellList cells_;
};

using TzqHtmlTableRowList = TzqHtmlTypedTagList<TzqHtmlTableRow>;

class ZQ_API TzqHtmlTable : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlTable"; }
  TzqHtmlTableRowList& Rows() { return rows_; }
  void Registered() override;
  void Parsed() override;

private:
  TzqHtmlTableRowList rows_;
};

class ZQ_API TzqHtmlMetaTag : public TzqHtmlTag {
public:
  using TzqHtmlTag::TzqHtmlTag;
  std::string ClassName() const override { return "TzqHtmlMetaTag"; }
  void Registered() override;
  void Parsed() override;
};

using TzqHtmlFormList = TzqHtmlTypedTagList<TzqHtmlForm>;
using TzqHtmlLinkList = TzqHtmlTypedTagList<TzqHtmlLink>;
using TzqHtmlImageList = TzqHtmlTypedTagList<TzqHtmlImage>;
using TzqHtmlTableList = TzqHtmlTypedTagList<TzqHtmlTable>;
using TzqHtmlFrameList = TzqHtmlTypedTagList<TzqHtmlFrame>;
using TzqHtmlMetaTagList = TzqHtmlTypedTagList<TzqHtmlMetaTag>;

enum TzqHtmlParseMethod { pmAll, pmTagsOnly, pmTextOnly };

using TzqOnParseTag = std::function<void(TzqObject* sender, TzqHtmlTag* ATag)>;
using TzqOnParseAttribute = std::function<void(TzqObject* sender, TzqHtmlTag* ATag, TzqHtmlAttribute* Attribute)>;
using TzqOnParseForm = std::function<void(TzqObject* sender, TzqHtmlForm* AForm)>;
using TzqOnParseLink = std::function<void(TzqObject* sender, TzqHtmlLink* ALink)>;
using TzqOnParseFrame = std::function<void(TzqObject* sender, TzqHtmlFrame* AFrame)>;
using TzqOnParseImage = std::function<void(TzqObject* sender, TzqHtmlImage* AImage)>;
using TzqOnParseFormControl = std::function<void(TzqObject* sender, TzqHtmlForm* AForm, TzqHtmlTag* AControl)>;
using TzqOnParseTable = std::function<void(TzqObject* sender, TzqHtmlTable* ATable)>;
using TzqOnParseTableRow = std::function<void(TzqObject* sender, TzqHtmlTable* ATable, TzqHtmlTableRow* ARow)>;
using TzqOnParseTableCell =
    std::function<void(TzqObject* sender, TzqHtmlTable* ATable, TzqHtmlTableRow* ARow, TzqHtmlTableCell* ACell)>;
using TzqOnParseTableCellTag = std::function<void(TzqObject* sender, TzqHtmlTable* ATable, TzqHtmlTableRow* ARow,
                                                  TzqHtmlTableCell* ACell, TzqHtmlTag* ATag)>;
using TzqOnParseMetaTag = std::function<void(TzqObject* sender, TzqHtmlTag* ATag)>;

class ZQ_API TzqHtmlParser : public TzqComponent {
public:
  explicit TzqHtmlParser(TzqComponent* owner = nullptr);
  ~TzqHtmlParser() override;

  std::string ClassName() const override { return "TzqHtmlParser"; }

  // Parses a document held in the local code page. Earlier results are cleared first.
  void Parse(std::string_view document);
  // Parses the rest of the stream, read as bytes in charset (converted to the local code page).
  void Parse(TzqStream& stream, std::string_view charset);

  TzqHtmlParseMethod ParseMethod() const { return parseMethod_; }
  void SetParseMethod(TzqHtmlParseMethod method) { parseMethod_ = method; }
  bool IncludeClosingTags() const { return includeClosingTags_; }
  void SetIncludeClosingTags(bool include) { includeClosingTags_ = include; }

  TzqHtmlTagList& Tags() { return tags_; }
  TzqHtmlFormList& Forms() { return forms_; }
  TzqHtmlLinkList& Links() { return links_; }
  TzqHtmlImageList& Images() { return images_; }
  TzqHtmlTableList& Tables() { return tables_; }
  TzqHtmlFrameList& Frames() { return frames_; }
  TzqHtmlMetaTagList& MetaTags() { return metaTags_; }
  // Filled by InitNonClosingTags on first use; may be edited before a parse.
  TzqStringList& NonClosingTags();
  const TzqStringList& CommentStartMarkers();
  const TzqStringList& CommentEndMarkers();
  // The open tables, innermost last.
  const std::vector<TzqHtmlTable*>& TableStack() const { return tableStack_; }
  TzqHtmlLink* CurrentLink() const { return currentLink_; }
  void SetCurrentLink(TzqHtmlLink* link) { currentLink_ = link; }
  // The innermost open table, its last row and that row's last cell; none where absent.
  TzqHtmlTable* CurrentTable() const;
  TzqHtmlTableRow* CurrentRow() const;
  TzqHtmlTableCell* CurrentCell() const;

  // The document's texts, character references decoded.
  const std::string& Title() const { return title_; }
  const std::string& Author() const { return author_; }
  const std::string& Description() const { return description_; }
  const std::string& Keywords() const { return keywords_; }

  virtual TzqHtmlTag* CreateTextTag(const std::string& text, TzqHtmlTag* owner, int64_t position);
  // tagText is what stands between "<" and ">"; position is its offset in the document.
  virtual TzqHtmlTag* ParseTagText(std::string_view tagText, int64_t position, TzqHtmlTag* owner);
  virtual TzqHtmlTag* CreateTagObject(const std::string& name, const std::string& source, int64_t position,
                                      TzqHtmlTag* owner);
  virtual void ParseAttributes(TzqHtmlTag* tag, std::string_view text, int64_t position);
  // Start markers and end markers pair up by index.
  virtual void InitCommentMarkers(TzqStringList& startMarkers, TzqStringList& endMarkers);
  virtual void InitNonClosingTags(TzqStringList& list);
  virtual void ClearResults();

  TzqOnParseTag OnParseTag;
  TzqOnParseAttribute OnParseAttribute;
  TzqOnParseForm OnParseForm;
  TzqOnParseLink OnParseLink;
  TzqOnParseFrame OnParseFrame;
  TzqOnParseImage OnParseImage;
  TzqOnParseFormControl OnParseFormControl;
  TzqOnParseTable OnParseTable;
  TzqOnParseTableRow OnParseTableRow;
  TzqOnParseTableCell OnParseTableCell;
  TzqOnParseTableCellTag OnParseTableCellTag;
  TzqOnParseMetaTag OnParseMetaTag;

  // Event dispatchers: fire the event when it is assigned.
  virtual void DoParseTag(TzqHtmlTag* tag);
  virtual void DoParseAttribute(TzqHtmlTag* tag, TzqHtmlAttribute* attribute);
  virtual void DoParseForm(TzqHtmlForm* form);
  virtual void DoParseLink(TzqHtmlLink* link);
  virtual void DoParseFrame(TzqHtmlFrame* frame);
  virtual void DoParseImage(TzqHtmlImage* image);
  virtual void DoParseFormControl(TzqHtmlForm* form, TzqHtmlTag* control);
  virtual void DoParseTable(TzqHtmlTable* table);
  virtual void DoParseTableRow(TzqHtmlTable* table, TzqHtmlTableRow* row);
  virtual void DoParseTableCell(TzqHtmlTable* table, TzqHtmlTableRow* row, TzqHtmlTableCell* cell);
  virtual void DoParseTableCellTag(TzqHtmlTable* table, TzqHtmlTableRow* row, TzqHtmlTableCell* cell, TzqHtmlTag* tag);
  virtual void DoParseMetaTag(TzqHtmlTag* tag);

private:
  friend class TzqHtmlForm;
  friend class TzqHtmlLink;
  friend class TzqHtmlFrame;
  friend class TzqHtmlImage;
  friend class TzqHtmlTable;
  friend class TzqHtmlTableRow;
  friend class TzqHtmlTableCell;
  friend class TzqHtmlMetaTag;
  friend class TzqHtmlScanner;

  void EnsureInitialized();
  TzqHtmlTag* AppendTag(std::unique_ptr<TzqHtmlTag> created, int64_t position);
  void ProcessTag(TzqHtmlTag* tag, std::string_view attributeText, int64_t position);
  void NoteMetaTag(TzqHtmlTag* tag);

  TzqHtmlParseMethod parseMethod_ = pmTagsOnly;
  bool includeClosingTags_ = false;
  TzqHtmlOwningTagList tags_;
  TzqHtmlFormList forms_;
  TzqHtmlLinkList links_;
  TzqHtmlImageList images_;
  TzqHtmlTableList tables_;
  TzqHtmlFrameList frames_;
  TzqHtmlMetaTagList metaTags_;
  TzqStringList nonClosingTags_;
  TzqStringList commentStartMarkers_;
  TzqStringList commentEndMarkers_;
  bool initialized_ = false;
  std::vector<TzqHtmlTable*> tableStack_;
  TzqHtmlLink* currentLink_ = nullptr;
  // While the scanner hands over script or style text, whose references are not decoded.
  bool inCode_ = false;
  std::string title_;
  std::string author_;
  std::string description_;
  std::string keywords_;
};

}  // namespace zq

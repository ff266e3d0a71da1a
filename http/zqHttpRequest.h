#pragma once
// The HTTP request component: the body and header of a request as a list of typed items
// (form fields, uploaded files, text, binary data), rendered as an url-encoded or multipart
// body that is read item by item, never held whole.

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
#include "http/zqHttpHeader.h"
#include "http/zqStreams.h"

namespace zq {

class TzqHeaderFieldList;
class TzqHtmlForm;
class TzqHtmlParser;
class TzqHttpRequest;
class TzqHttpRequestItemList;
class TzqValueReader;
class TzqValueWriter;

/// How the body is rendered, decided by the header's ContentType.
enum TzqRequestBodyMode { bmRaw, bmUrlEncoded, bmMultipart };

/// The base of all request items.
class ZQ_API TzqHttpRequestItem : public TzqPersistent {
public:
  /// Items are made by their list (TzqHttpRequestItemList::AddItem), which owns them.
  explicit TzqHttpRequestItem(TzqHttpRequestItemList& owner);
  ~TzqHttpRequestItem() override = default;
  TzqHttpRequestItem(const TzqHttpRequestItem&) = delete;
  TzqHttpRequestItem& operator=(const TzqHttpRequestItem&) = delete;

  /// "TzqHttpRequestItem".
  std::string ClassName() const override { return "TzqHttpRequestItem"; }
  /// Copies Canonicalized from another item.
  void Assign(const TzqPersistent& source) override;

  /// The list holding the item.
  TzqHttpRequestItemList& Owner() const { return *owner_; }
  /// The request the item belongs to.
  TzqHttpRequest& Request() const;

  /// Field names and values are form-encoded in an url-encoded body.
  bool Canonicalized() const { return canonicalized_; }
  /// Sets Canonicalized (true by default).
  void SetCanonicalized(bool value);

  /// The number of bytes GetDataStream produces; cached until the next change.
  int64_t DataSize();

  /// Forgets the cached DataSize.
  virtual void ResetSize() { size_ = 0; }
  /// Reads the item's fields from the stored form; EzqReadError for a malformed one.
  virtual void ReadStoredData(TzqValueReader& reader);
  /// Writes the item's fields in the stored form.
  virtual void WriteStoredData(TzqValueWriter& writer) const;
  /// Takes what it needs from a received multipart part's header fields.
  virtual void ParsePartHeader(TzqHeaderFieldList& fields);
  /// Appends received bytes [start, start + count) to the item.
  virtual void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) = 0;
  /// Raises OnDataAdded once received data is complete.
  virtual void AfterAddData() = 0;
  /// A new stream positioned at 0 with the item's bytes for the request's body mode.
  virtual std::unique_ptr<TzqStream> GetDataStream() = 0;
  /// The character set of the item's text: the request header's CharSet.
  virtual std::string GetCharSet() const;

protected:
  /// Stores value when it differs, as one change of the request.
  void SetText(std::string& field, const std::string& value);

private:
  friend class TzqHttpRequestItemList;

  TzqHttpRequestItemList* owner_;
  bool canonicalized_ = true;
  int64_t size_ = 0;
};

/// A form field: name=value url-encoded, or a form-data part in a multipart body.
class ZQ_API TzqFormFieldRequestItem : public TzqHttpRequestItem {
public:
  using TzqHttpRequestItem::TzqHttpRequestItem;

  /// "TzqFormFieldRequestItem".
  std::string ClassName() const override { return "TzqFormFieldRequestItem"; }
  /// Copies Canonicalized, the name and the value.
  void Assign(const TzqPersistent& source) override;

  /// The field's name; CR, LF or NUL in it make rendering a multipart body throw EzqHttpError.
  const std::string& FieldName() const { return fieldName_; }
  /// Sets FieldName.
  void SetFieldName(const std::string& value) { SetText(fieldName_, value); }
  /// The field's value, as text.
  const std::string& FieldValue() const { return fieldValue_; }
  /// Sets FieldValue.
  void SetFieldValue(const std::string& value) { SetText(fieldValue_, value); }

  /// Reads Canonicalized, the name and the value from the stored form.
  void ReadStoredData(TzqValueReader& reader) override;
  /// Writes Canonicalized, the name and the value.
  void WriteStoredData(TzqValueWriter& writer) const override;
  /// Appends the received bytes, decoded in the item's character set, to the value.
  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  /// Raises OnDataAdded with the value.
  void AfterAddData() override;
  /// "name=value" form-encoded, a form-data part, or nothing in a raw body.
  std::unique_ptr<TzqStream> GetDataStream() override;

private:
  std::string fieldName_;
  std::string fieldValue_;
};

/// A file uploaded as a multipart part; its bytes come from OnLoadData when it supplies a stream,
/// else from the file FileName, opened when the body is read (EzqStreamIoError when it cannot be).
class ZQ_API TzqSubmitFileRequestItem : public TzqHttpRequestItem {
public:
  /// ContentType starts as "application/octet-stream".
  explicit TzqSubmitFileRequestItem(TzqHttpRequestItemList& owner);

  /// "TzqSubmitFileRequestItem".
  std::string ClassName() const override { return "TzqSubmitFileRequestItem"; }
  /// Copies Canonicalized, the field name, the file name and the content type.
  void Assign(const TzqPersistent& source) override;

  /// The form field's name.
  const std::string& FieldName() const { return fieldName_; }
  /// Sets FieldName.
  void SetFieldName(const std::string& value) { SetText(fieldName_, value); }
  /// The file's path; its last component is the part's filename.
  const std::string& FileName() const { return fileName_; }
  /// Sets FileName.
  void SetFileName(const std::string& value) { SetText(fileName_, value); }
  /// The part's Content-Type.
  const std::string& ContentType() const { return contentType_; }
  /// Sets ContentType.
  void SetContentType(const std::string& value) { SetText(contentType_, value); }

  /// Reads Canonicalized, the names and the content type from the stored form.
  void ReadStoredData(TzqValueReader& reader) override;
  /// Writes Canonicalized, the names and the content type.
  void WriteStoredData(TzqValueWriter& writer) const override;
  /// Takes the part's Content-Type (when it has one) and its field name.
  void ParsePartHeader(TzqHeaderFieldList& fields) override;
  /// Writes the received bytes to the request's receive stream (asked for from OnSaveData).
  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  /// Raises OnDataAdded with the receive stream, rewound.
  void AfterAddData() override;
  /// The part (header and file bytes) in a multipart body, else nothing. CR, LF or NUL in a
  /// name or the content type throw EzqHttpError.
  std::unique_ptr<TzqStream> GetDataStream() override;

private:
  std::string fieldName_;
  std::string fileName_;
  std::string contentType_;
};

/// Text sent as it is, in the request's character set.
class ZQ_API TzqTextRequestItem : public TzqHttpRequestItem {
public:
  using TzqHttpRequestItem::TzqHttpRequestItem;

  /// "TzqTextRequestItem".
  std::string ClassName() const override { return "TzqTextRequestItem"; }
  /// Copies Canonicalized and the text.
  void Assign(const TzqPersistent& source) override;

  /// The text.
  const std::string& TextData() const { return textData_; }
  /// Sets TextData.
  void SetTextData(const std::string& value) { SetText(textData_, value); }

  /// Reads Canonicalized and the text from the stored form.
  void ReadStoredData(TzqValueReader& reader) override;
  /// Writes Canonicalized and the text.
  void WriteStoredData(TzqValueWriter& writer) const override;
  /// Appends the received bytes, decoded in the item's character set, to the text.
  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  /// Raises OnDataAdded with the text.
  void AfterAddData() override;
  /// The text in the item's character set.
  std::unique_ptr<TzqStream> GetDataStream() override;

private:
  std::string textData_;
};

/// Opaque bytes: sent from the stream OnLoadData supplies, received into the request's
/// receive stream.
class ZQ_API TzqBinaryRequestItem : public TzqHttpRequestItem {
public:
  using TzqHttpRequestItem::TzqHttpRequestItem;

  /// "TzqBinaryRequestItem".
  std::string ClassName() const override { return "TzqBinaryRequestItem"; }

  /// Writes the received bytes to the request's receive stream (asked for from OnSaveData).
  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  /// Raises OnDataAdded with the receive stream, rewound.
  void AfterAddData() override;
  /// The stream OnLoadData supplies, rewound; nothing without one.
  std::unique_ptr<TzqStream> GetDataStream() override;
};

/// Makes a new item of a registered class for a list.
using TzqHttpRequestItemFactory = std::function<std::unique_ptr<TzqHttpRequestItem>(TzqHttpRequestItemList& owner)>;

/// The items of one request, owned, in insertion order.
class ZQ_API TzqHttpRequestItemList : public TzqPersistent {
public:
  /// The items of request.
  explicit TzqHttpRequestItemList(TzqHttpRequest& request) : request_(&request) {}
  ~TzqHttpRequestItemList() override;
  TzqHttpRequestItemList(const TzqHttpRequestItemList&) = delete;
  TzqHttpRequestItemList& operator=(const TzqHttpRequestItemList&) = delete;

  /// "TzqHttpRequestItemList".
  std::string ClassName() const override { return "TzqHttpRequestItemList"; }
  /// Replaces the items by copies of another list's (same classes, field by field).
  void Assign(const TzqPersistent& source) override;

  /// The request the list belongs to.
  TzqHttpRequest& Request() const { return *request_; }
  /// The number of items.
  int Count() const { return static_cast<int>(items_.size()); }
  /// The item at index (owned by the list); std::out_of_range when there is none.
  TzqHttpRequestItem* Items(int index) const { return items_.at(static_cast<size_t>(index)).get(); }
  /// Items(index).
  TzqHttpRequestItem* operator[](int index) const { return Items(index); }

  /// A new item of class T, appended (owned by the list).
  template <class T>
  T* AddItem() {
    return static_cast<T*>(Append(std::make_unique<T>(*this)));
  }
  /// A new item of the class registered under className; EzqReadError when none is.
  TzqHttpRequestItem* AddItem(std::string_view className);
  /// Frees every item, then derives the content type again.
  void Clear();

  /// The stored "Items" value: per item its class name, Canonicalized and its own fields.
  void WriteItems(TzqValueWriter& writer) const;
  /// Replaces the items by stored ones. A class name that is not registered raises EzqError
  /// and leaves the list as it was.
  void ReadItems(TzqValueReader& reader);

  /// Item classes by class name; the four of this unit are registered from the start.
  static void RegisterItemClass(const std::string& className, TzqHttpRequestItemFactory factory);
  /// A class is registered under that name.
  static bool IsItemClassRegistered(std::string_view className);

private:
  friend class TzqHttpRequest;

  TzqHttpRequestItem* Append(std::unique_ptr<TzqHttpRequestItem> item);
  void ReadItemValues(TzqValueReader& reader);
  void TakeItems(TzqHttpRequestItemList& from);

  std::vector<std::unique_ptr<TzqHttpRequestItem>> items_;
  TzqHttpRequest* request_;
};

/// A request's header and body: typed items (form fields, files, text, binary data) and a
/// TzqHttpRequestHeader. The body is rendered url-encoded, multipart or raw as the header's
/// ContentType says; adding items sets that type (only form fields: url-encoded; any file:
/// multipart). Rendering streams the items one by one, files straight from disk.
///
/// The same class reads a received body back into items (ParseBody, AddPartItem), as a form
/// handler does. Every change drops the rendered forms and raises OnChanged, once per
/// BeginUpdate / EndUpdate batch.
class ZQ_API TzqHttpRequest : public TzqComponent {
public:
  /// OnChanged.
  using TzqNotifyEvent = std::function<void(TzqObject* Sender)>;
  /// AData: a stream the handler supplies; the request takes ownership of it.
  using TzqGetDataStreamEvent =
      std::function<void(TzqObject* Sender, TzqHttpRequestItem* AItem, std::unique_ptr<TzqStream>& AData)>;
  /// AData holds the item's data at position 0 and stays the caller's.
  using TzqDataAddedEvent = std::function<void(TzqObject* Sender, TzqHttpRequestItem* AItem, TzqStream& AData)>;
  /// OnGetHtmlForm: the handler may point AForm at a form of AParser's document.
  using TzqGetHtmlFormEvent = std::function<void(TzqObject* Sender, TzqHtmlParser* AParser, TzqHtmlForm*& AForm)>;

  /// An owner destroys the request with itself.
  explicit TzqHttpRequest(TzqComponent* owner = nullptr);
  /// Frees the items, the header and the receive stream.
  ~TzqHttpRequest() override;

  /// "TzqHttpRequest".
  std::string ClassName() const override { return "TzqHttpRequest"; }
  /// Copies the items (same classes, field by field), the header and BatchSize.
  void Assign(const TzqPersistent& source) override;

  /// The body's items (owned by the request).
  TzqHttpRequestItemList& Items() const { return *items_; }
  /// Replaces the items by copies of items.
  void SetItems(const TzqHttpRequestItemList& items) { items_->Assign(items); }
  /// The request header (owned; made by CreateHeader on first use). Accept "*/*" by default.
  TzqHttpRequestHeader& Header() const;
  /// Copies header's values into Header().
  void SetHeader(const TzqHttpRequestHeader& header) { Header().Assign(header); }
  /// A batch size in bytes kept with the request (8192): stored and copied, not used to render.
  int BatchSize() const { return batchSize_; }
  /// Sets BatchSize.
  void SetBatchSize(int value);

  /// Appends a form field (owned by the request) and returns it.
  TzqFormFieldRequestItem* AddFormField(const std::string& name, const std::string& value);
  /// Appends a file to upload as the field fieldName (owned by the request); the file is read
  /// only when the body is.
  TzqSubmitFileRequestItem* AddSubmitFile(const std::string& fieldName, const std::string& fileName);
  /// Appends a text item (owned by the request).
  TzqTextRequestItem* AddText(const std::string& text);
  /// Appends a binary item, its bytes from OnLoadData (owned by the request).
  TzqBinaryRequestItem* AddBinaryData();
  /// The first form field of that name (ASCII case ignored), or nullptr.
  TzqFormFieldRequestItem* FindFormField(std::string_view fieldName) const;

  /// The header lines, rendered once per change (owned by the request). Renders the body's
  /// separators too, so throws what RequestStream throws.
  TzqStringList& HeaderSource();
  /// The body as a new stream; the caller owns it. Throws EzqHttpError for CR, LF or NUL in a
  /// part's names or type, EzqStreamIoError for a file that cannot be opened.
  std::unique_ptr<TzqMultiStream> RequestStream();
  /// The body as text lines in the header's CharSet (owned by the request).
  TzqStringList& RequestText();
  /// Exactly the number of bytes RequestStream produces.
  int64_t BodySize();

  /// Holds change notifications back until the matching EndUpdate.
  void BeginUpdate() { ++updateCount_; }
  /// Ends an update batch and runs the change notification once.
  void EndUpdate();

  /// The stream received data for binary and file items goes into, or nullptr.
  TzqStream* ReceiveStream() const { return receiveStream_.get(); }
  /// The receive stream, asked for from OnSaveData (for item) while the request holds none.
  TzqStream* EnsureReceiveStream(TzqHttpRequestItem* item);
  /// How the body renders, by the header's ContentType: multipart/..., url-encoded, else raw.
  TzqRequestBodyMode BodyMode() const;

  /// The stored form: BatchSize, the header's properties and the items. Loading replaces all
  /// three; a stored form it cannot read raises EzqError and leaves the request as it was.
  void SaveToStream(TzqStream& stream) const;
  /// See SaveToStream.
  void LoadFromStream(TzqStream& stream);

  /// 27 hyphens and 12 hex digits from the current month, day, hour, minute, second, millisecond.
  static std::string GenerateBoundary();

  /// Clear, keeping the header's CharSet.
  virtual void ClearKeepCharSet();
  /// Makes the header; a subclass may return one of its own kind.
  virtual std::unique_ptr<TzqHttpRequestHeader> CreateHeader();
  /// A new, empty item for one received multipart part, chosen by its header fields. A file
  /// part's item keeps only the last component of the name sent, never a path.
  virtual TzqHttpRequestItem* AddPartItem(TzqHeaderFieldList& fields);
  /// Items from a received body, read from the stream's position to its end.
  virtual void ParseBody(TzqStream& stream);
  /// The media type the items imply.
  virtual std::string GetContentType() const;
  /// Ensures the boundary and sets the header's ContentLength.
  virtual void InitHeader();
  /// Removes every item and resets the header.
  virtual void Clear();

  /// After each change (or batch of changes) of items or header.
  TzqNotifyEvent OnChanged;
  /// Asked for the stream that received binary and file data goes into.
  TzqGetDataStreamEvent OnSaveData;
  /// Asked for the bytes of a binary or file item when the body is rendered.
  TzqGetDataStreamEvent OnLoadData;
  /// Kept for handlers that pick a form from a parsed page; no operation raises it.
  TzqGetHtmlFormEvent OnGetHtmlForm;
  /// When a received item is complete, with its data.
  TzqDataAddedEvent OnDataAdded;

  /// Raises OnSaveData; returns the stream its handler gave, or null. Override to act without one.
  virtual std::unique_ptr<TzqStream> DoSaveData(TzqHttpRequestItem* item);
  /// Raises OnLoadData; returns the stream its handler gave, or null. Override to act without one.
  virtual std::unique_ptr<TzqStream> DoLoadData(TzqHttpRequestItem* item);
  /// Raises OnDataAdded; override to act without a handler.
  virtual void DoDataAdded(TzqHttpRequestItem* item, TzqStream& data);
  /// Raises OnGetHtmlForm; override to act without a handler.
  virtual void DoGetHtmlForm(TzqHtmlParser* parser, TzqHtmlForm*& form);
  /// Raises OnChanged; override to act without a handler.
  virtual void DoChanged();

private:
  friend class TzqHttpRequestItem;
  friend class TzqHttpRequestItemList;
  friend class TzqRequestLoadingScope;
  friend class TzqRequestBuildingScope;
  friend class TzqRequestUpdateScope;

  // Runs after every change: drops the renderings and the boundary, raises OnChanged.
  void Changed();
  // After an item was added or the list cleared: the content type follows the items.
  void ItemsChanged();
  void EnsureBoundary();
  bool Quiet() const;

  std::unique_ptr<TzqHttpRequestItemList> items_;
  mutable std::unique_ptr<TzqHttpRequestHeader> header_;
  int updateCount_ = 0;
  TzqStringList bodyText_;
  TzqStringList headerLines_;
  bool building_ = false;
  std::unique_ptr<TzqStream> receiveStream_;
  int batchSize_ = 8192;
  int loading_ = 0;
  bool destroying_ = false;
};

}  // namespace zq

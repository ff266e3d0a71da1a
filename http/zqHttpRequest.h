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

// How the body is rendered, decided by the header's ContentType.
enum TzqRequestBodyMode { bmRaw, bmUrlEncoded, bmMultipart };

// The base of all request items.
class TzqHttpRequestItem : public TzqPersistent {
public:
  explicit TzqHttpRequestItem(TzqHttpRequestItemList& owner);
  ~TzqHttpRequestItem() override = default;
  TzqHttpRequestItem(const TzqHttpRequestItem&) = delete;
  TzqHttpRequestItem& operator=(const TzqHttpRequestItem&) = delete;

  std::string ClassName() const override { return "TzqHttpRequestItem"; }
  void Assign(const TzqPersistent& source) override;

  TzqHttpRequestItemList& Owner() const { return *owner_; }
  TzqHttpRequest& Request() const;

  // Field names and values are form-encoded in an url-encoded body.
  bool Canonicalized() const { return canonicalized_; }
  void SetCanonicalized(bool value);

  // The number of bytes GetDataStream produces; cached until the next change.
  int64_t DataSize();

  virtual void ResetSize() { size_ = 0; }
  virtual void ReadStoredData(TzqValueReader& reader);
  virtual void WriteStoredData(TzqValueWriter& writer) const;
  virtual void ParsePartHeader(TzqHeaderFieldList& fields);
  // Appends received bytes [start, start + count) to the item.
  virtual void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) = 0;
  // Raises OnDataAdded once received data is complete.
  virtual void AfterAddData() = 0;
  // A new stream positioned at 0 with the item's bytes for the request's body mode.
  virtual std::unique_ptr<TzqStream> GetDataStream() = 0;
  virtual std::string GetCharSet() const;

protected:
  // Stores value when it differs, as one change of the request.
  void SetText(std::string& field, const std::string& value);

private:
  friend class TzqHttpRequestItemList;

  TzqHttpRequestItemList* owner_;
  bool canonicalized_ = true;
  int64_t size_ = 0;
};

class TzqFormFieldRequestItem : public TzqHttpRequestItem {
public:
  using TzqHttpRequestItem::TzqHttpRequestItem;

  std::string ClassName() const override { return "TzqFormFieldRequestItem"; }
  void Assign(const TzqPersistent& source) override;

  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& value) { SetText(fieldName_, value); }
  const std::string& FieldValue() const { return fieldValue_; }
  void SetFieldValue(const std::string& value) { SetText(fieldValue_, value); }

  void ReadStoredData(TzqValueReader& reader) override;
  void WriteStoredData(TzqValueWriter& writer) const override;
  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  void AfterAddData() override;
  std::unique_ptr<TzqStream> GetDataStream() override;

private:
  std::string fieldName_;
  std::string fieldValue_;
};

class TzqSubmitFileRequestItem : public TzqHttpRequestItem {
public:
  explicit TzqSubmitFileRequestItem(TzqHttpRequestItemList& owner);

  std::string ClassName() const override { return "TzqSubmitFileRequestItem"; }
  void Assign(const TzqPersistent& source) override;

  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& value) { SetText(fieldName_, value); }
  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& value) { SetText(fileName_, value); }
  const std::string& ContentType() const { return contentType_; }
  void SetContentType(const std::string& value) { SetText(contentType_, value); }

  void ReadStoredData(TzqValueReader& reader) override;
  void WriteStoredData(TzqValueWriter& writer) const override;
  void ParsePartHeader(TzqHeaderFieldList& fields) override;
  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  void AfterAddData() override;
  std::unique_ptr<TzqStream> GetDataStream() override;

private:
  std::string fieldName_;
  std::string fileName_;
  std::string contentType_;
};

class TzqTextRequestItem : public TzqHttpRequestItem {
public:
  using TzqHttpRequestItem::TzqHttpRequestItem;

  std::string ClassName() const override { return "TzqTextRequestItem"; }
  void Assign(const TzqPersistent& source) override;

  const std::string& TextData() const { return textData_; }
  void SetTextData(const std::string& value) { SetText(textData_, value); }

  void ReadStoredData(TzqValueReader& reader) override;
  void WriteStoredData(TzqValueWriter& writer) const override;
  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  void AfterAddData() override;
  std::unique_ptr<TzqStream> GetDataStream() override;

private:
  std::string textData_;
};

// Opaque bytes: sent from the stream OnLoadData supplies, received into the request's
// receive stream.
class TzqBinaryRequestItem : public TzqHttpRequestItem {
public:
  using TzqHttpRequestItem::TzqHttpRequestItem;

  std::string ClassName() const override { return "TzqBinaryRequestItem"; }

  void AddData(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  void AfterAddData() override;
  std::unique_ptr<TzqStream> GetDataStream() override;
};

using TzqHttpRequestItemFactory = std::function<std::unique_ptr<TzqHttpRequestItem>(TzqHttpRequestItemList& owner)>;

// The items of one request, owned, in insertion order.
class TzqHttpRequestItemList : public TzqPersistent {
public:
  explicit TzqHttpRequestItemList(TzqHttpRequest& request) : request_(&request) {}
  ~TzqHttpRequestItemList() override;
  TzqHttpRequestItemList(const TzqHttpRequestItemList&) = delete;
  TzqHttpRequestItemList& operator=(const TzqHttpRequestItemList&) = delete;

  std::string ClassName() const override { return "TzqHttpRequestItemList"; }
  void Assign(const TzqPersistent& source) override;

  TzqHttpRequest& Request() const { return *request_; }
  int Count() const { return static_cast<int>(items_.size()); }
  TzqHttpRequestItem* Items(int index) const { return items_.at(static_cast<size_t>(index)).get(); }
  TzqHttpRequestItem* operator[](int index) const { return Items(index); }

  template <class T>
  T* AddItem() {
    return static_cast<T*>(Append(std::make_unique<T>(*this)));
  }
  // A new item of the class registered under className; EzqError when none is.
  TzqHttpRequestItem* AddItem(std::string_view className);
  // Frees every item, then derives the content type again.
  void Clear();

  // The stored "Items" value: per item its class name, Canonicalized and its own fields.
  void WriteItems(TzqValueWriter& writer) const;
  // Replaces the items by stored ones. A class name that is not registered raises EzqError
  // and leaves the list as it was.
  void ReadItems(TzqValueReader& reader);

  // Item classes by class name; the four of this unit are registered from the start.
  static void RegisterItemClass(const std::string& className, TzqHttpRequestItemFactory factory);
  static bool IsItemClassRegistered(std::string_view className);

private:
  friend class TzqHttpRequest;

  TzqHttpRequestItem* Append(std::unique_ptr<TzqHttpRequestItem> item);
  void ReadItemValues(TzqValueReader& reader);
  void TakeItems(TzqHttpRequestItemList& from);

  std::vector<std::unique_ptr<TzqHttpRequestItem>> items_;
  TzqHttpRequest* request_;
};

class TzqHttpRequest : public TzqComponent {
public:
  using TzqNotifyEvent = std::function<void(TzqObject* Sender)>;
  // AData: a stream the handler supplies; the request takes ownership of it.
  using TzqGetDataStreamEvent =
      std::function<void(TzqObject* Sender, TzqHttpRequestItem* AItem, std::unique_ptr<TzqStream>& AData)>;
  // AData holds the item's data at position 0 and stays the caller's.
  using TzqDataAddedEvent = std::function<void(TzqObject* Sender, TzqHttpRequestItem* AItem, TzqStream& AData)>;
  using TzqGetHtmlFormEvent = std::function<void(TzqObject* Sender, TzqHtmlParser* AParser, TzqHtmlForm*& AForm)>;

  explicit TzqHttpRequest(TzqComponent* owner = nullptr);
  ~TzqHttpRequest() override;

  std::string ClassName() const override { return "TzqHttpRequest"; }
  // Copies the items (same classes, field by field), the header and BatchSize.
  void Assign(const TzqPersistent& source) override;

  TzqHttpRequestItemList& Items() const { return *items_; }
  void SetItems(const TzqHttpRequestItemList& items) { items_->Assign(items); }
  TzqHttpRequestHeader& Header() const;
  void SetHeader(const TzqHttpRequestHeader& header) { Header().Assign(header); }
  int BatchSize() const { return batchSize_; }
  void SetBatchSize(int value);

  TzqFormFieldRequestItem* AddFormField(const std::string& name, const std::string& value);
  TzqSubmitFileRequestItem* AddSubmitFile(const std::string& fieldName, const std::string& fileName);
  TzqTextRequestItem* AddText(const std::string& text);
  TzqBinaryRequestItem* AddBinaryData();
  // The first form field of that name (ASCII case ignored), or nullptr.
  TzqFormFieldRequestItem* FindFormField(std::string_view fieldName) const;

  // The header lines, rendered once per change (owned by the request).
  TzqStringList& HeaderSource();
  // The body as a new stream; the caller owns it.
  std::unique_ptr<TzqMultiStream> RequestStream();
  // The body as text lines in the header's CharSet (owned by the request).
  TzqStringList& RequestText();
  // Exactly the number of bytes RequestStream produces.
  int64_t BodySize();

  void BeginUpdate() { ++updateCount_; }
  void EndUpdate();

  // The stream received data for binary and file items goes into, or nullptr.
  TzqStream* ReceiveStream() const { return receiveStream_.get(); }
  // The receive stream, asked for from OnSaveData (for item) while the request holds none.
  TzqStream* EnsureReceiveStream(TzqHttpRequestItem* item);
  TzqRequestBodyMode BodyMode() const;

  // The stored form: BatchSize, the header's properties and the items. Loading replaces all
  // three; a stored form it cannot read raises EzqError and leaves the request as it was.
  void SaveToStream(TzqStream& stream) const;
  void LoadFromStream(TzqStream& stream);

  // 27 hyphens and 12 hex digits from the current month, day, hour, minute, second, millisecond.
  static std::string GenerateBoundary();

  virtual void ClearKeepCharSet();
  virtual std::unique_ptr<TzqHttpRequestHeader> CreateHeader();
  // A new, empty item for one received multipart part, chosen by its header fields.
  virtual TzqHttpRequestItem* AddPartItem(TzqHeaderFieldList& fields);
  // Items from a received body, read from the stream's position to its end.
  virtual void ParseBody(TzqStream& stream);
  // The media type the items imply.
  virtual std::string GetContentType() const;
  // Ensures the boundary and sets the header's ContentLength.
  virtual void InitHeader();
  virtual void Clear();

  TzqNotifyEvent OnChanged;
  TzqGetDataStreamEvent OnSaveData;
  TzqGetDataStreamEvent OnLoadData;
  TzqGetHtmlFormEvent OnGetHtmlForm;
  TzqDataAddedEvent OnDataAdded;

  // Event dispatchers.
  virtual std::unique_ptr<TzqStream> DoSaveData(TzqHttpRequestItem* item);
  virtual std::unique_ptr<TzqStream> DoLoadData(TzqHttpRequestItem* item);
  virtual void DoDataAdded(TzqHttpRequestItem* item, TzqStream& data);
  virtual void DoGetHtmlForm(TzqHtmlParser* parser, TzqHtmlForm*& form);
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

#pragma once
// An ordered list of text lines, each with an optional object, with change notification.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqText.h"

namespace zq {

class TzqStream;

enum TzqDuplicates { dupAccept, dupIgnore, dupError };

class ZQ_API TzqStringList : public TzqPersistent {
public:
  using TzqNotifyEvent = std::function<void(TzqObject* sender)>;
  using TzqCompare = std::function<int(const TzqStringList& list, int index1, int index2)>;

  TzqStringList() = default;
  TzqStringList(std::initializer_list<std::string> lines);
  ~TzqStringList() override;
  TzqStringList(const TzqStringList& other);
  TzqStringList& operator=(const TzqStringList& other);

  std::string ClassName() const override { return "TzqStringList"; }
  void Assign(const TzqPersistent& source) override;

  int Count() const { return static_cast<int>(items_.size()); }
  bool Empty() const { return items_.empty(); }
  // Raises EzqError "List index out of bounds (n)" outside 0 .. Count-1.
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  void SetStrings(int index, const std::string& value);
  TzqObject* Objects(int index) const;
  void SetObjects(int index, TzqObject* object);

  // The line is taken by value: a temporary moves in without a copy.
  int Add(std::string line);
  int AddObject(std::string line, TzqObject* object);
  void AddStrings(const TzqStringList& other);
  void Insert(int index, std::string line);
  void InsertObject(int index, std::string line, TzqObject* object);
  void Delete(int index);
  void Clear();
  void Exchange(int index1, int index2);
  void Move(int fromIndex, int toIndex);

  // Index of the first line equal to text (without regard to case unless CaseSensitive); -1 if none.
  int IndexOf(std::string_view text) const;
  int IndexOfObject(const TzqObject* object) const;

  // name=value lines.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  int IndexOfName(std::string_view name) const;
  std::string Values(std::string_view name) const;
  // Sets the value of name; an empty value deletes the line.
  void SetValues(std::string_view name, const std::string& value);
  char NameValueSeparator() const { return nameValueSeparator_; }
  void SetNameValueSeparator(char separator) { nameValueSeparator_ = separator; }

  // All lines, each followed by CR LF.
  std::string Text() const;
  // Replaces the lines with text split at CR LF, CR or LF (a final line break adds no empty line).
  void SetText(std::string_view text);
  std::string CommaText() const;
  std::string DelimitedText(char delimiter, char quote = '"') const;
  void SetDelimitedText(std::string_view text, char delimiter, char quote = '"');

  void LoadFromStream(TzqStream& stream);
  void SaveToStream(TzqStream& stream) const;
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName) const;

  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool caseSensitive);
  TzqDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TzqDuplicates duplicates) { duplicates_ = duplicates; }
  // The list deletes its objects when lines are deleted or the list is destroyed.
  bool OwnsObjects() const { return ownsObjects_; }
  void SetOwnsObjects(bool owns) { ownsObjects_ = owns; }
  void Sort();
  void CustomSort(const TzqCompare& compare);
  // With Sorted: finds text by binary search; index is where it is or would be inserted.
  bool Find(std::string_view text, int& index) const;

  // Nesting: OnChanging/OnChange fire once for a batch, when the depth returns to 0.
  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }

  TzqNotifyEvent OnChanging;
  TzqNotifyEvent OnChange;

private:
  struct Item {
    std::string text;
    TzqObject* object = nullptr;
  };

  int CompareText(std::string_view a, std::string_view b) const;
  void CheckIndex(int index) const;
  void Changing();
  void Changed();
  void InsertItem(int index, std::string line, TzqObject* object);
  void ReleaseObject(TzqObject* object);
  void ClearItems();

  std::vector<Item> items_;
  int updateCount_ = 0;
  bool changedDuringUpdate_ = false;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  bool ownsObjects_ = false;
  TzqDuplicates duplicates_ = dupIgnore;
  char nameValueSeparator_ = '=';
};

}  // namespace zq

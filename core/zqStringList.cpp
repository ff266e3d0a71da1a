#include "core/zqStringList.h"

#include <algorithm>

#include "core/zqError.h"
#include "core/zqStream.h"

namespace zq {

namespace {

const char* const sListIndexError = "List index out of bounds (%d)";
const char* const sDuplicateString = "String list does not allow duplicates";
const char* const sSortedListError = "Operation not allowed on sorted list";

}  // namespace

TzqStringList::TzqStringList(std::initializer_list<std::string> lines) {
  for (const auto& line : lines) items_.push_back({line, nullptr});
}

TzqStringList::~TzqStringList() {
  OnChange = nullptr;
  OnChanging = nullptr;
  ClearItems();
}

TzqStringList::TzqStringList(const TzqStringList& other) : TzqPersistent() { AddStrings(other); }

TzqStringList& TzqStringList::operator=(const TzqStringList& other) {
  if (this != &other) Assign(other);
  return *this;
}

void TzqStringList::Assign(const TzqPersistent& source) {
  const auto* list = dynamic_cast<const TzqStringList*>(&source);
  if (!list) return TzqPersistent::Assign(source);
  if (list == this) return;
  BeginUpdate();
  Clear();
  nameValueSeparator_ = list->nameValueSeparator_;
  AddStrings(*list);
  EndUpdate();
}

void TzqStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EzqError(Format(sListIndexError, index));
}

const std::string& TzqStringList::Strings(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].text;
}

void TzqStringList::SetStrings(int index, const std::string& value) {
  if (sorted_) throw EzqError(sSortedListError);
  CheckIndex(index);
  Changing();
  items_[static_cast<size_t>(index)].text = value;
  Changed();
}

TzqObject* TzqStringList::Objects(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].object;
}

void TzqStringList::SetObjects(int index, TzqObject* object) {
  CheckIndex(index);
  Changing();
  Item& item = items_[static_cast<size_t>(index)];
  if (item.object != object) ReleaseObject(item.object);
  item.object = object;
  Changed();
}

int TzqStringList::Add(std::string line) { return AddObject(std::move(line), nullptr); }

int TzqStringList::AddObject(std::string line, TzqObject* object) {
  int index = Count();
  if (sorted_ && Find(line, index)) {
    if (duplicates_ == dupIgnore) return index;
    if (duplicates_ == dupError) throw EzqError(sDuplicateString);
  }
  InsertItem(index, std::move(line), object);
  return index;
}

void TzqStringList::AddStrings(const TzqStringList& other) {
  if (&other == this) {
    const TzqStringList copy(other);
    return AddStrings(copy);
  }
  BeginUpdate();
  items_.reserve(items_.size() + other.items_.size());
  for (const Item& item : other.items_) AddObject(item.text, item.object);
  EndUpdate();
}

void TzqStringList::Insert(int index, std::string line) { InsertObject(index, std::move(line), nullptr); }

void TzqStringList::InsertObject(int index, std::string line, TzqObject* object) {
  if (sorted_) throw EzqError(sSortedListError);
  if (index < 0 || index > Count()) throw EzqError(Format(sListIndexError, index));
  InsertItem(index, std::move(line), object);
}

void TzqStringList::InsertItem(int index, std::string line, TzqObject* object) {
  Changing();
  items_.insert(items_.begin() + index, Item{std::move(line), object});
  Changed();
}

void TzqStringList::Delete(int index) {
  CheckIndex(index);
  Changing();
  TzqObject* object = items_[static_cast<size_t>(index)].object;
  items_.erase(items_.begin() + index);
  ReleaseObject(object);
  Changed();
}

void TzqStringList::Clear() {
  if (items_.empty()) return;
  Changing();
  ClearItems();
  Changed();
}

void TzqStringList::ClearItems() {
  std::vector<Item> old;
  old.swap(items_);
  for (Item& item : old) ReleaseObject(item.object);
}

void TzqStringList::ReleaseObject(TzqObject* object) {
  if (ownsObjects_) delete object;
}

void TzqStringList::Exchange(int index1, int index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  Changing();
  std::swap(items_[static_cast<size_t>(index1)], items_[static_cast<size_t>(index2)]);
  Changed();
}

void TzqStringList::Move(int fromIndex, int toIndex) {
  if (fromIndex == toIndex) return;
  CheckIndex(fromIndex);
  CheckIndex(toIndex);
  Changing();
  Item item = std::move(items_[static_cast<size_t>(fromIndex)]);
  items_.erase(items_.begin() + fromIndex);
  items_.insert(items_.begin() + toIndex, std::move(item));
  Changed();
}

int TzqStringList::CompareText(std::string_view a, std::string_view b) const {
  if (caseSensitive_) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  return CompareTextIgnoreCase(a, b);
}

int TzqStringList::IndexOf(std::string_view text) const {
  if (sorted_) {
    int index = 0;
    return Find(text, index) ? index : -1;
  }
  // Equal texts are of equal length (case folding is ASCII only): the rest need no comparing.
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].text.size() == text.size() && CompareText(items_[i].text, text) == 0) return static_cast<int>(i);
  return -1;
}

int TzqStringList::IndexOfObject(const TzqObject* object) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].object == object) return static_cast<int>(i);
  return -1;
}

std::string TzqStringList::Names(int index) const {
  const std::string& line = Strings(index);
  const size_t at = line.find(nameValueSeparator_);
  return at == std::string::npos ? std::string() : line.substr(0, at);
}

std::string TzqStringList::ValueFromIndex(int index) const {
  const std::string& line = Strings(index);
  const size_t at = line.find(nameValueSeparator_);
  return at == std::string::npos ? std::string() : line.substr(at + 1);
}

int TzqStringList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    const std::string& line = items_[i].text;
    const size_t at = line.find(nameValueSeparator_);
    if (at != std::string::npos && CompareText(std::string_view(line).substr(0, at), name) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

std::string TzqStringList::Values(std::string_view name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueFromIndex(index);
}

void TzqStringList::SetValues(std::string_view name, const std::string& value) {
  const int index = IndexOfName(name);
  const std::string line = std::string(name) + nameValueSeparator_ + value;
  if (value.empty()) {
    if (index >= 0) Delete(index);
  } else if (index < 0) {
    Add(line);
  } else {
    SetStrings(index, line);
  }
}

std::string TzqStringList::Text() const {
  size_t length = 0;
  for (const Item& item : items_) length += item.text.size() + 2;
  std::string result;
  result.reserve(length);
  for (const Item& item : items_) {
    result += item.text;
    result += "\r\n";
  }
  return result;
}

void TzqStringList::SetText(std::string_view text) {
  BeginUpdate();
  Clear();
  // One allocation for the lines' slots: a line break more is at most a line more.
  items_.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    Add(std::string(text.substr(start, end - start)));
    if (end < text.size() && text[end] == '\r') {
      ++end;
      if (end < text.size() && text[end] == '\n') ++end;
    } else if (end < text.size()) {
      ++end;
    }
    start = end;
  }
  EndUpdate();
}

std::string TzqStringList::CommaText() const { return DelimitedText(',', '"'); }

std::string TzqStringList::DelimitedText(char delimiter, char quote) const {
  std::string result;
  for (size_t i = 0; i < items_.size(); ++i) {
    if (i > 0) result += delimiter;
    const std::string& line = items_[i].text;
    const bool needsQuote =
        line.empty() || line.find_first_of(std::string{delimiter, quote, ' '}) != std::string::npos ||
        std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 32; });
    if (!needsQuote) {
      result += line;
      continue;
    }
    result += quote;
    for (char c : line) {
      if (c == quote) result += quote;
      result += c;
    }
    result += quote;
  }
  return result;
}

void TzqStringList::SetDelimitedText(std::string_view text, char delimiter, char quote) {
  BeginUpdate();
  Clear();
  size_t i = 0;
  while (i <= text.size()) {
    std::string entry;
    if (i < text.size() && text[i] == quote) {
      ++i;
      while (i < text.size()) {
        if (text[i] == quote) {
          if (i + 1 < text.size() && text[i + 1] == quote) {
            entry += quote;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        entry += text[i++];
      }
      while (i < text.size() && text[i] != delimiter) ++i;
    } else {
      while (i < text.size() && text[i] != delimiter) entry += text[i++];
    }
    Add(entry);
    if (i >= text.size()) break;
    ++i;  // past the delimiter
  }
  EndUpdate();
}

void TzqStringList::LoadFromStream(TzqStream& stream) {
  const TzqByteArray bytes = stream.ReadRemaining();
  SetText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void TzqStringList::SaveToStream(TzqStream& stream) const { stream.WriteString(Text()); }

void TzqStringList::LoadFromFile(const std::string& fileName) {
  TzqFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TzqStringList::SaveToFile(const std::string& fileName) const {
  TzqFileStream file(fileName, fmCreate);
  SaveToStream(file);
}

void TzqStringList::SetSorted(bool sorted) {
  if (sorted_ == sorted) return;
  if (sorted) Sort();
  sorted_ = sorted;
}

void TzqStringList::SetCaseSensitive(bool caseSensitive) {
  if (caseSensitive_ == caseSensitive) return;
  caseSensitive_ = caseSensitive;
  if (sorted_) Sort();
}

void TzqStringList::Sort() {
  CustomSort([](const TzqStringList& list, int a, int b) {
    return list.CompareText(list.items_[static_cast<size_t>(a)].text, list.items_[static_cast<size_t>(b)].text);
  });
}

void TzqStringList::CustomSort(const TzqCompare& compare) {
  if (items_.size() < 2) return;
  Changing();
  // Sort an index permutation so that compare sees the list as it was.
  std::vector<int> order(items_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return compare(*this, a, b) < 0; });
  std::vector<Item> sorted;
  sorted.reserve(items_.size());
  for (int index : order) sorted.push_back(std::move(items_[static_cast<size_t>(index)]));
  items_.swap(sorted);
  Changed();
}

bool TzqStringList::Find(std::string_view text, int& index) const {
  int low = 0;
  int high = Count() - 1;
  bool found = false;
  while (low <= high) {
    const int middle = (low + high) / 2;
    const int c = CompareText(items_[static_cast<size_t>(middle)].text, text);
    if (c < 0) {
      low = middle + 1;
    } else {
      high = middle - 1;
      if (c == 0) {
        found = true;
        if (duplicates_ != dupAccept) low = middle;
      }
    }
  }
  index = low;
  return found;
}

void TzqStringList::BeginUpdate() {
  if (updateCount_ == 0) changedDuringUpdate_ = false;
  ++updateCount_;
}

void TzqStringList::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0 && changedDuringUpdate_) {
    changedDuringUpdate_ = false;
    if (OnChange) OnChange(this);
  }
}

void TzqStringList::Changing() {
  if (updateCount_ > 0) {
    if (!changedDuringUpdate_ && OnChanging) OnChanging(this);
    changedDuringUpdate_ = true;
    return;
  }
  if (OnChanging) OnChanging(this);
}

void TzqStringList::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

}  // namespace zq

#include "http/zqHeaderFieldList.h"

#include <algorithm>

#include "codec/zqUtils.h"
#include "core/zqError.h"
#include "core/zqText.h"

namespace zq {

namespace {

const char* const sNoHeaderSource = "The header field list has no lines to edit";

bool IsQuote(char c) { return c == '"' || c == '\''; }
bool IsParameterSeparator(char c) { return c == ',' || c == ';'; }
bool IsEqualsBlank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
bool IsFoldBreaker(char c) {
  return IsQuote(c) || c == '(' || c == ')' || c == ',' || c == ';' || c == '<' || c == '>';
}
bool IsContinuation(const std::string& line) { return !line.empty() && (line[0] == '\t' || line[0] == ' '); }

// Where a parameter lies inside a value text: its name starts at nameStart, its value runs
// from valueStart to valueEnd (a terminating separator is not included).
struct ParameterSpan {
  size_t nameStart = 0;
  size_t valueStart = 0;
  size_t valueEnd = 0;
};

bool FindValueStart(std::string_view text, std::string_view name, ParameterSpan& span) {
  if (name.empty()) {
    if (text.empty()) return false;
    span.nameStart = span.valueStart = 0;
    return true;
  }
  const std::string lowerText = LowerCase(text);
  const std::string lowerName = LowerCase(name);
  for (size_t at = lowerText.find(lowerName); at != std::string::npos; at = lowerText.find(lowerName, at + 1)) {
    size_t i = at + lowerName.size();
    while (i < lowerText.size() && IsEqualsBlank(lowerText[i])) ++i;
    if (i < lowerText.size() && lowerText[i] == '=') {
      span.nameStart = at;
      span.valueStart = i + 1;
      return true;
    }
  }
  return false;
}

size_t FindValueEnd(std::string_view text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (IsQuote(text[i])) {
      const size_t close = text.find(text[i], i + 1);
      return close == std::string_view::npos ? text.size() : close + 1;
    }
    if (IsParameterSeparator(text[i])) return i;
  }
  return text.size();
}

bool FindParameter(std::string_view text, std::string_view name, ParameterSpan& span) {
  if (!FindValueStart(text, name, span)) return false;
  span.valueEnd = FindValueEnd(text, span.valueStart);
  return true;
}

std::string ComposeFieldLine(std::string_view name, std::string_view value) {
  std::string line(name);
  line += ':';
  if (!value.empty()) {
    line += ' ';
    line += value;
  }
  return line;
}

bool IsLineBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

TzqStringList& TzqHeaderFieldList::Lines() const {
  if (!source_) throw EzqError(sNoHeaderSource);
  return *source_;
}

int TzqHeaderFieldList::Parse(TzqStringList& source, int start) {
  source_ = &source;
  names_.clear();
  start_ = std::clamp(start, 0, source.Count());
  // Sized once for the lines there are; a reparse after an insertion grows it as usual.
  if (names_.capacity() == 0) names_.reserve(static_cast<size_t>(source.Count() - start_));
  int line = start_;
  for (; line < source.Count(); ++line) {
    const std::string& text = source[line];
    if (text.empty()) break;
    if (IsContinuation(text)) continue;
    const size_t colon = text.find(':');
    if (colon != std::string::npos) names_.emplace_back(LowerCase(std::string_view(text).substr(0, colon)), line);
  }
  headerEnd_ = line;
  return headerEnd_;
}

int TzqHeaderFieldList::IndexOfField(std::string_view name) const {
  // The keys are lower-cased already; ASCII folding makes this the same as comparing them to
  // the lower-cased name.
  for (size_t i = 0; i < names_.size(); ++i)
    if (SameText(names_[i].first, name)) return static_cast<int>(i);
  return -1;
}

std::string TzqHeaderFieldList::GetFieldValue(std::string_view name) const {
  const int index = IndexOfField(name);
  return index < 0 ? std::string() : GetFieldValueAt(index);
}

std::string TzqHeaderFieldList::GetFieldValueAt(int index) const {
  const TzqStringList& lines = Lines();
  int line = FieldLine(index);
  const std::string& first = lines[line];
  std::string_view head = std::string_view(first).substr(first.find(':') + 1);
  if (!head.empty() && IsLineBlank(head[0])) head.remove_prefix(1);
  // Most fields are one line: their value is cut out of it, without a copy to trim.
  if (line + 1 >= lines.Count() || !IsContinuation(lines[line + 1])) return std::string(TrimView(head));
  std::string value(head);
  for (++line; line < lines.Count() && IsContinuation(lines[line]); ++line) {
    const std::string& next = lines[line];
    value.append(next, next[0] == '\t' ? 1 : 0);
  }
  return Trim(value);
}

std::string TzqHeaderFieldList::GetFieldName(int index) const { return std::string(FieldName(index)); }

std::string_view TzqHeaderFieldList::FieldName(int index) const {
  const std::string& line = Lines()[FieldLine(index)];
  return std::string_view(line).substr(0, line.find(':'));
}

int TzqHeaderFieldList::LastLineOfField(int index) const {
  const TzqStringList& lines = Lines();
  int line = FieldLine(index);
  while (line + 1 < lines.Count() && IsContinuation(lines[line + 1])) ++line;
  return line;
}

void TzqHeaderFieldList::AddField(std::string_view name, std::string_view value) {
  if (value.empty()) return;
  InsertLine(headerEnd_, ComposeFieldLine(name, value), true);
}

void TzqHeaderFieldList::AddFieldIfAbsent(std::string_view name, std::string_view value) {
  if (IndexOfField(name) < 0) AddField(name, value);
}

void TzqHeaderFieldList::AddEmptyField(std::string_view name) {
  InsertLine(headerEnd_, ComposeFieldLine(name, ""), true);
}

void TzqHeaderFieldList::AddLines(const TzqStringList& lines) {
  // Copied first: lines may be the very list being edited.
  const TzqStringList copy(lines);
  for (int i = 0; i < copy.Count(); ++i) InsertLine(headerEnd_, copy[i], true);
}

int TzqHeaderFieldList::InsertLine(int position, std::string line, bool fold) {
  position = std::clamp(position, 0, headerEnd_);
  if (fold && charsPerLine_ > 0) {
    InsertFolded(position, line, "", "\t");
    Reparse();
    return headerEnd_;
  }
  // A plain field line inside the section changes the index only by itself: no reparse.
  const bool plainField = position >= start_ && !line.empty() && !IsContinuation(line);
  const size_t colon = line.find(':');
  std::string key = plainField && colon != std::string::npos ? LowerCase(std::string_view(line).substr(0, colon)) : "";
  Lines().Insert(position, std::move(line));
  if (!plainField) {
    Reparse();
    return headerEnd_;
  }
  auto at = names_.end();
  for (auto entry = names_.begin(); entry != names_.end(); ++entry) {
    if (entry->second < position) continue;
    if (at == names_.end()) at = entry;
    ++entry->second;
  }
  if (colon != std::string::npos) names_.emplace(at, std::move(key), position);
  return ++headerEnd_;
}

int TzqHeaderFieldList::InsertFolded(int position, const std::string& text, const std::string& firstPrefix,
                                     const std::string& nextPrefix) {
  TzqStringList& lines = Lines();
  const int64_t length = static_cast<int64_t>(text.size());
  const int64_t count = (length + 1 + charsPerLine_ - 1) / charsPerLine_;
  const int64_t piece = std::max<int64_t>(1, (length + count / 2) / count);
  const int first = position;
  if (length == 0) {
    lines.Insert(position++, firstPrefix);
    ++headerEnd_;
    return position;
  }
  for (int64_t at = 0; at < length; at += piece) {
    const std::string part = text.substr(static_cast<size_t>(at), static_cast<size_t>(piece));
    if (position > first && part.size() == 1 && IsFoldBreaker(part[0])) {
      lines.SetStrings(position - 1, lines[position - 1] + part);
      continue;
    }
    lines.Insert(position, (position == first ? firstPrefix : nextPrefix) + part);
    ++position;
    ++headerEnd_;
  }
  return position;
}

void TzqHeaderFieldList::RemoveField(std::string_view name) {
  const int index = IndexOfField(name);
  if (index < 0) return;
  TzqStringList& lines = Lines();
  const int line = FieldLine(index);
  lines.Delete(line);
  while (line < lines.Count() && IsContinuation(lines[line])) lines.Delete(line);
  Reparse();
}

std::string TzqHeaderFieldList::GetParameter(std::string_view text, std::string_view name) {
  ParameterSpan span;
  if (!FindParameter(text, name, span)) return std::string();
  std::string value = Trim(text.substr(span.valueStart, span.valueEnd - span.valueStart));
  if (value.size() >= 2 && IsQuote(value.front()) && IsQuote(value.back())) value = value.substr(1, value.size() - 2);
  return value;
}

std::string TzqHeaderFieldList::ClearParameter(std::string_view text, std::string_view name) {
  ParameterSpan span;
  std::string result(text);
  if (!name.empty() && FindParameter(text, name, span)) result.erase(span.valueStart, span.valueEnd - span.valueStart);
  return result;
}

std::string TzqHeaderFieldList::RemoveParameter(std::string_view text, std::string_view name) {
  ParameterSpan span;
  std::string result(text);
  if (name.empty() || !FindParameter(text, name, span)) return result;
  size_t begin = span.nameStart;
  size_t end = span.valueEnd;
  if (end < text.size()) {
    // Take the separator after the parameter and the blanks behind it.
    for (++end; end < text.size() && IsLineBlank(text[end]);) ++end;
  } else {
    // The last parameter: take the separator before it instead.
    while (begin > 0 && IsLineBlank(text[begin - 1])) --begin;
    if (begin > 0 && IsParameterSeparator(text[begin - 1])) --begin;
    while (begin > 0 && IsLineBlank(text[begin - 1])) --begin;
  }
  result.erase(begin, end - begin);
  return result;
}

void TzqHeaderFieldList::AddParameter(std::string_view field, std::string_view name, std::string_view value) {
  const int index = IndexOfField(field);
  if (index < 0 || Trim(value).empty()) return;
  std::string parameter(name);
  if (parameter.empty() || parameter.back() != '=') parameter += '=';
  parameter += value;

  TzqStringList& lines = Lines();
  const int last = LastLineOfField(index);
  // Only the end is trimmed: a continuation line must keep its leading blank.
  std::string line = TrimRight(lines[last]);
  if (line.empty() || (line.back() != ':' && line.back() != itemDelimiter_)) line += itemDelimiter_;
  const bool fits =
      static_cast<int64_t>(line.size() + parameter.size()) + 2 <= charsPerLine_ && line.rfind("\t ", 0) != 0;
  if (charsPerLine_ <= 0 || fits) {
    lines.SetStrings(last, line + " " + parameter);
  } else {
    lines.SetStrings(last, line);
    InsertFolded(last + 1, parameter, "\t", "\t ");
  }
  Reparse();
}

void TzqHeaderFieldList::AddQuotedParameter(std::string_view field, std::string_view name, std::string_view value) {
  if (Trim(value).empty()) return;
  AddParameter(field, name, QuoteIfNeeded(value));
}

}  // namespace zq

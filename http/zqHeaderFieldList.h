#pragma once
// An editor laid over the header lines of someone else's string list: finds fields by name
// (without regard to case), reads values with their continuation lines, adds and removes
// fields and reads and appends the name=value parameters inside a field value.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/zqApi.h"
#include "core/zqStringList.h"

namespace zq {

class ZQ_API TzqHeaderFieldList {
public:
  TzqHeaderFieldList() = default;
  // Parses source from line start on.
  explicit TzqHeaderFieldList(TzqStringList& source, int start = 0) { Parse(source, start); }

  // Rebuilds the index over the section that starts at line start; returns the header end
  // (the first empty line at or after start, or the line count).
  int Parse(TzqStringList& source, int start);

  // Field number of the first field of that name, or -1.
  int IndexOfField(std::string_view name) const;
  // The value of the first field of that name (continuation lines joined, trimmed); empty when absent.
  std::string GetFieldValue(std::string_view name) const;
  // The value of field number index.
  std::string GetFieldValueAt(int index) const;
  // The field's name as written in the line; FieldName views it in the line (until it changes).
  std::string GetFieldName(int index) const;
  std::string_view FieldName(int index) const;
  // The field's name lower-cased, as the index holds it.
  const std::string& FieldKey(int index) const { return names_.at(static_cast<size_t>(index)).first; }
  // The line of the field's first line.
  int FieldLine(int index) const { return names_.at(static_cast<size_t>(index)).second; }
  int FieldCount() const { return static_cast<int>(names_.size()); }
  int HeaderEnd() const { return headerEnd_; }
  int Start() const { return start_; }
  TzqStringList* Source() const { return source_; }

  // Adds "name: value" at the header end; nothing when value is empty.
  void AddField(std::string_view name, std::string_view value);
  void AddFieldIfAbsent(std::string_view name, std::string_view value);
  // Adds "name:" without a value.
  void AddEmptyField(std::string_view name);
  // Inserts each line unchanged at the header end.
  void AddLines(const TzqStringList& lines);
  // Inserts a raw line at position (clamped to [0, header end]); returns the new header end.
  int InsertLine(int position, std::string line, bool fold);
  // Deletes the first field of that name with its continuation lines.
  void RemoveField(std::string_view name);

  // The value of parameter name inside a field value, or with an empty name the main value
  // before the parameters. The first textual match of the name followed by "=" wins.
  static std::string GetParameter(std::string_view text, std::string_view name);
  // The text with the parameter's value removed ("name=" stays); unchanged when absent.
  static std::string ClearParameter(std::string_view text, std::string_view name);
  // The text without the parameter, its separator and the blanks around it.
  static std::string RemoveParameter(std::string_view text, std::string_view name);

  // Appends name=value to the field's last line; nothing when the trimmed value is empty or
  // the field is absent.
  void AddParameter(std::string_view field, std::string_view name, std::string_view value);
  // The same with the value in double quotes unless it is quoted at either end already.
  void AddQuotedParameter(std::string_view field, std::string_view name, std::string_view value);

  // Above 0, long inserted lines are folded to about this length.
  int CharsPerLine() const { return charsPerLine_; }
  void SetCharsPerLine(int charsPerLine) { charsPerLine_ = charsPerLine; }
  // Written between a field value and its parameters (";", or "," in authorization fields).
  char ItemDelimiter() const { return itemDelimiter_; }
  void SetItemDelimiter(char delimiter) { itemDelimiter_ = delimiter; }

private:
  TzqStringList& Lines() const;
  int LastLineOfField(int index) const;
  int InsertFolded(int position, const std::string& text, const std::string& firstPrefix,
                   const std::string& nextPrefix);
  void Reparse() { Parse(Lines(), start_); }

  std::vector<std::pair<std::string, int>> names_;
  TzqStringList* source_ = nullptr;
  int headerEnd_ = 0;
  int start_ = 0;
  int charsPerLine_ = 0;
  char itemDelimiter_ = ';';
};

}  // namespace zq

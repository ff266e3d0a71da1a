// Header lines from hostile input: the field index, values, parameters and their editing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/zqError.h"
#include "http/zqHeaderFieldList.h"

using namespace zq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int charsPerLine = data[0] % 40;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  TzqStringList lines;
  lines.SetText(text);
  TzqHeaderFieldList fields(lines, 0);
  fields.SetCharsPerLine(charsPerLine);
  for (int i = 0; i < fields.FieldCount(); ++i) {
    const std::string value = fields.GetFieldValueAt(i);
    for (const char* name : {"", "charset", "boundary", "name", "realm"}) {
      TzqHeaderFieldList::GetParameter(value, name);
      TzqHeaderFieldList::ClearParameter(value, name);
      TzqHeaderFieldList::RemoveParameter(value, name);
    }
  }
  if (fields.FieldCount() > 0) {
    const std::string name = fields.GetFieldName(0);
    fields.AddParameter(name, "p", text.substr(0, 64));
    fields.AddQuotedParameter(name, "q", text.substr(0, 64));
    fields.AddField("X-Added", text.substr(0, 128));
    fields.RemoveField(name);
  }
  fields.InsertLine(static_cast<int>(size % 7), text.substr(0, 100), true);
  return 0;
}

// Feeds arbitrary bytes to the HTML parser in every parse method and walks what it built.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "html/zqHtmlParser.h"

namespace {

// Touches every tag, attribute and typed list so that a dangling pointer shows up under ASan.
size_t Walk(zq::TzqHtmlParser& parser) {
  size_t total = parser.Title().size() + parser.Author().size();
  for (zq::TzqHtmlTag* tag = parser.Tags().Count() ? parser.Tags()[0] : nullptr; tag; tag = tag->NextTag()) {
    total += tag->Source().size() + (tag->Owner() ? tag->Owner()->Name().size() : 0);
    for (int i = 0; i < tag->Attributes().Count(); ++i) total += tag->Attributes()[i]->Value().size();
  }
  for (int i = 0; i < parser.Forms().Count(); ++i) total += static_cast<size_t>(parser.Forms()[i]->Controls().Count());
  for (int i = 0; i < parser.Links().Count(); ++i) total += static_cast<size_t>(parser.Links()[i]->Tags().Count());
  for (int i = 0; i < parser.Tables().Count(); ++i) {
    zq::TzqHtmlTable* table = parser.Tables()[i];
    for (int r = 0; r < table->Rows().Count(); ++r)
      for (int c = 0; c < table->Rows()[r]->Cells().Count(); ++c)
        total += static_cast<size_t>(table->Rows()[r]->Cells()[c]->Tags().Count());
  }
  return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the options and the input path, the rest is the document.
  zq::TzqHtmlParser parser;
  parser.SetParseMethod(static_cast<zq::TzqHtmlParseMethod>(data[0] % 3));
  parser.SetIncludeClosingTags((data[0] & 4) != 0);
  std::string_view document(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 8) {
    zq::TzqMemoryStream stream(document);
    parser.Parse(stream, "utf-8");
  } else {
    parser.Parse(document);
  }
  volatile size_t sink = Walk(parser);
  (void)sink;
  return 0;
}

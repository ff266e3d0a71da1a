// html_links URL: downloads a page and lists its title and links.
#include <cstdio>
#include <exception>
#include <iostream>

#include "html/zqHtmlParser.h"
#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 2) return std::fputs("usage: html_links URL\n", stderr), 2;
  try {
    zq::TzqHttp http;
    zq::TzqMemoryStream page;
    http.Get(argv[1], nullptr, nullptr, &page);
    page.SetPosition(0);
    zq::TzqHtmlParser parser;
    parser.Parse(page, http.ResponseHeader().CharSet());  // the page's bytes, in its charset
    std::cout << "title: " << parser.Title() << "\n";
    for (int i = 0; i < parser.Links().Count(); ++i)
      std::cout << parser.Links()[i]->Attributes().Values("href") << "\n";
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}

// upload_multipart URL FILE: posts a field and FILE as multipart/form-data, prints the answer.
#include <cstdio>
#include <exception>
#include <iostream>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 3) return std::fputs("usage: upload_multipart URL FILE\n", stderr), 2;
  try {
    zq::TzqHttp http;
    zq::TzqHttpRequest form;
    form.AddFormField("comment", "monthly report");
    form.AddSubmitFile("report", argv[2]);  // a file item makes the body multipart/form-data
    zq::TzqMemoryStream answer;
    http.Post(argv[1], &form, &answer);
    std::cout << answer.DataString();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}

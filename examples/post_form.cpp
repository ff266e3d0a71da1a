// post_form URL: posts two form fields (application/x-www-form-urlencoded), prints the answer.
#include <cstdio>
#include <exception>
#include <iostream>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 2) return std::fputs("usage: post_form URL\n", stderr), 2;
  try {
    zq::TzqHttp http;
    zq::TzqHttpRequest form;
    form.AddFormField("name", "Ann & Bob");  // values are encoded for you
    form.AddFormField("birthdate", "1990-01-02");
    zq::TzqMemoryStream answer;
    http.Post(argv[1], &form, &answer);
    std::cout << answer.DataString();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}

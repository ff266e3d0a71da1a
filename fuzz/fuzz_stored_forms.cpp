// Hostile stored forms for the value reader's users: a cookie list and a request's stored form.
// Invariants: a form that cannot be read raises EzqError and leaves the object as it was; one
// that loads saves to a form that, once reloaded, saves and reloads to itself. Allocation sizes are bounded by
// libFuzzer's -malloc_limit_mb (the run scripts set it).
// Input: a byte choosing the reader, then the stored form.

#include <cstdint>
#include <string>

#include "core/zqStream.h"
#include "http/zqCookieManager.h"
#include "http/zqHttpRequest.h"

using namespace zq;

namespace {

template <typename T>
std::string Saved(const T& object) {
  TzqMemoryStream stream;
  object.SaveToStream(stream);
  return stream.DataString();
}

template <typename T>
std::string Reloaded(const std::string& saved, T& object) {
  TzqMemoryStream stored;
  stored.WriteBuffer(saved.data(), static_cast<int64_t>(saved.size()));
  stored.SetPosition(0);
  object.LoadFromStream(stored);
  return Saved(object);
}

template <typename T>
void Check(const uint8_t* data, size_t size, T& object, T& again) {
  const std::string before = Saved(object);
  TzqMemoryStream input;
  input.WriteBuffer(data, static_cast<int64_t>(size));
  input.SetPosition(0);
  try {
    object.LoadFromStream(input);
  } catch (const EzqError&) {
    if (Saved(object) != before) __builtin_trap();
    return;
  }
  // A value equal to nothing is not stored and loads back as the default (as the stored form
  // has always had it), so the first save may differ from a reload; the second may not.
  const std::string saved = Reloaded(Saved(object), again);
  T third;
  if (Reloaded(saved, third) != saved) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    TzqCookieList cookies;
    cookies.Add()->Name = "kept";
    TzqCookieList again;
    Check(data + 1, size - 1, cookies, again);
  } else {
    TzqHttpRequest request;
    request.AddFormField("kept", "value");
    TzqHttpRequest again;
    Check(data + 1, size - 1, request, again);
  }
  return 0;
}

// The demo form handler's request reader and answers: whatever a client sends, split however
// it arrives, gives the same requests (or the same refusal), and every request gets an answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/formhandler/zqFormHandler.h"
#include "tools/formhandler/zqFormRequest.h"

using namespace zq;

namespace {

struct Outcome {
  std::vector<std::string> answers;
  std::string refusal;
};

Outcome Read(const std::string& bytes, size_t step) {
  Outcome outcome;
  TzqRequestReader reader;
  try {
    for (size_t at = 0; at < bytes.size(); at += step) {
      reader.Append(std::string_view(bytes).substr(at, step));
      while (auto request = reader.Next())
        outcome.answers.push_back(RenderResponse(AnswerRequest(*request, 0), request->KeepAlive, 0));
    }
  } catch (const EzqBadRequest& error) {
    outcome.refusal = error.what();
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = 1 + data[0] % 64;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const Outcome whole = Read(bytes, bytes.size() + 1);
  const Outcome split = Read(bytes, step);
  if (whole.answers != split.answers || whole.refusal.empty() != split.refusal.empty()) std::abort();
  return 0;
}

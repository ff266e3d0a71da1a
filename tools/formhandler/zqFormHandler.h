#pragma once
// What the demo form handler answers: the page with the form, the form handler itself (the
// url-encoded fields back as text), a support page, 404 for anything else, and the rendering
// of an answer into bytes.

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "tools/formhandler/zqFormRequest.h"

namespace zq {

inline const char* const kFormPagePath = "/products/quorvex/demos/formpost.asp";
inline const char* const kFormHandlerPath = "/products/quorvex/demos/serverformpost.asp";
inline const char* const kSupportPagePath = "/support/index.asp";

struct TzqServerResponse {
  int Status = 200;
  std::string Reason = "OK";
  std::string ContentType;
  std::vector<std::pair<std::string, std::string>> Fields;  // besides the ones every answer has
  std::string Body;
  bool Close = false;  // the connection ends after this answer
};

// The answer to a complete request that arrived at the given time.
TzqServerResponse AnswerRequest(const TzqServerRequest& request, std::time_t arrival);
// The answer to a request that could not be read; the connection closes after it.
TzqServerResponse BadRequestResponse(const std::string& reason);
// Status line, Date, Server, Content-Type, Content-Length, Connection, the extra fields, the body.
std::string RenderResponse(const TzqServerResponse& response, bool keepAlive, std::time_t now);
// The url-encoded body's fields, names and values decoded (bytes as sent).
std::vector<std::pair<std::string, std::string>> DecodeFormBody(const std::string& body);

}  // namespace zq

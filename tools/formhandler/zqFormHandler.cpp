#include "tools/formhandler/zqFormHandler.h"

#include "codec/zqPercentEncoder.h"
#include "core/zqText.h"

namespace zq {

namespace {

const char* const sServerName = "zq_formhandler";
const char* const sFormType = "application/x-www-form-urlencoded";
const char* const sTextType = "text/plain; charset=utf-8";
const char* const sHtmlType = "text/html; charset=utf-8";

const char* const kFormPage =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>Quorvex form post demo</title></head>\n"
    "<body>\n"
    "<h1>Quorvex form post demo</h1>\n"
    "<form method=\"post\" action=\"serverformpost.asp\" enctype=\"application/x-www-form-urlencoded\">\n"
    "<p><label>Name <input type=\"text\" name=\"Name\" value=\"John Doe\"></label></p>\n"
    "<p><label>Birthdate <input type=\"text\" name=\"Birthdate\" value=\"10/10/77\"></label></p>\n"
    "<p><label>Account <input type=\"text\" name=\"Account\" value=\"123456\"></label></p>\n"
    "<p><input type=\"submit\" value=\"Submit\"></p>\n"
    "</form>\n"
    "</body></html>\n";

const char* const kSupportPage =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>Quorvex support</title></head>\n"
    "<body>\n"
    "<h1>Quorvex support</h1>\n"
    "<p>This is the local demo's support page. The demo form is at "
    "<a href=\"/products/quorvex/demos/formpost.asp\">formpost.asp</a>.</p>\n"
    "</body></html>\n";

TzqServerResponse Answer(int status, const char* reason, const char* type, std::string body) {
  TzqServerResponse response;
  response.Status = status;
  response.Reason = reason;
  response.ContentType = type;
  response.Body = std::move(body);
  return response;
}

TzqServerResponse MethodNotAllowed(const char* allowed) {
  TzqServerResponse response = Answer(405, "Method Not Allowed", sTextType, Format("Use %s here.\n", allowed));
  response.Fields.emplace_back("Allow", allowed);
  return response;
}

std::string UtcText(std::time_t time, const char* format) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, format, &parts));
}

// A posted value stays on its line of the answer.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return text;
}

std::string FormAnswerText(const std::string& body, std::time_t arrival) {
  const auto fields = DecodeFormBody(body);
  std::string name;
  for (const auto& [field, value] : fields)
    if (field == "Name") name = OneLine(value);
  std::string text = name.empty() ? "Hello!\n" : "Hello, " + name + "!\n";
  text += "Your form has arrived with these fields:\n";
  for (const auto& [field, value] : fields) text += OneLine(field) + ": " + OneLine(value) + "\n";
  text += "Received at " + UtcText(arrival, "%Y-%m-%d %H:%M:%S UTC") + ".\n";
  return text;
}

TzqServerResponse AnswerForm(const TzqServerRequest& request, std::time_t arrival) {
  if (request.Method != "POST") return MethodNotAllowed("POST");
  const std::string* type = request.Field("Content-Type");
  const std::string mediaType = type != nullptr ? Trim(type->substr(0, type->find(';'))) : std::string();
  if (!SameText(mediaType, sFormType))
    return Answer(415, "Unsupported Media Type", sTextType, Format("Send the form as %s.\n", sFormType));
  return Answer(200, "OK", sTextType, FormAnswerText(request.Body, arrival));
}

TzqServerResponse AnswerPage(const TzqServerRequest& request, const char* page) {
  if (request.Method != "GET") return MethodNotAllowed("GET");
  return Answer(200, "OK", sHtmlType, page);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DecodeFormBody(const std::string& body) {
  TzqFormFieldEncoder encoder;
  auto decode = [&encoder](std::string_view text) {
    const TzqByteArray bytes = encoder.DecodeToBytes(text);
    return std::string(bytes.begin(), bytes.end());
  };
  std::vector<std::pair<std::string, std::string>> fields;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string_view pair = std::string_view(body).substr(start, end - start);
    const size_t equals = pair.find('=');
    if (!pair.empty())
      fields.emplace_back(decode(pair.substr(0, equals)),
                          equals == std::string_view::npos ? std::string() : decode(pair.substr(equals + 1)));
    start = end + 1;
  }
  return fields;
}

TzqServerResponse AnswerRequest(const TzqServerRequest& request, std::time_t arrival) {
  const std::string path = request.Target.substr(0, request.Target.find('?'));
  if (path == kFormHandlerPath) return AnswerForm(request, arrival);
  if (path == kFormPagePath) return AnswerPage(request, kFormPage);
  if (path == kSupportPagePath) return AnswerPage(request, kSupportPage);
  return Answer(404, "Not Found", sTextType, "There is nothing at " + OneLine(path) + ".\n");
}

TzqServerResponse BadRequestResponse(const std::string& reason) {
  TzqServerResponse response = Answer(400, "Bad Request", sTextType, reason + ".\n");
  response.Close = true;
  return response;
}

std::string RenderResponse(const TzqServerResponse& response, bool keepAlive, std::time_t now) {
  std::string text = Format("HTTP/1.1 %d %s\r\n", response.Status, response.Reason.c_str());
  text += "Date: " + UtcText(now, "%a, %d %b %Y %H:%M:%S GMT") + "\r\n";
  text += std::string("Server: ") + sServerName + "\r\n";
  if (!response.ContentType.empty()) text += "Content-Type: " + response.ContentType + "\r\n";
  text += Format("Content-Length: %zu\r\n", response.Body.size());
  for (const auto& [name, value] : response.Fields) text += name + ": " + value + "\r\n";
  text += keepAlive && !response.Close ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  return text + "\r\n" + response.Body;
}

}  // namespace zq

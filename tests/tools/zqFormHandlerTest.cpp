// What the demo form handler answers: its pages, the posted fields back as text, refusals,
// and answers framed for keep-alive.

#include "tools/formhandler/zqFormHandler.h"

#include <gtest/gtest.h>

#include <string>

namespace zq {
namespace {

constexpr std::time_t kArrival = 1700000000;  // 2023-11-14 22:13:20 UTC

TzqServerRequest Request(const std::string& method, const std::string& target, const std::string& body = "",
                         const std::string& type = "application/x-www-form-urlencoded") {
  TzqServerRequest request;
  request.Method = method;
  request.Target = target;
  request.Version = "HTTP/1.1";
  if (!type.empty()) request.Fields.emplace_back("Content-Type", type);
  request.Body = body;
  request.ContentLength = static_cast<int64_t>(body.size());
  return request;
}

TEST(FormHandler, ThePostedFieldsComeBackDecodedLineByLine) {
  const TzqServerResponse response = AnswerRequest(
      Request("POST", kFormHandlerPath, "Name=John+Doe&Birthdate=10%2F10%2F77&Account=123456&Note=caf%C3%A9%0D%0Aline"),
      kArrival);
  EXPECT_EQ(response.Status, 200);
  EXPECT_EQ(response.ContentType, "text/plain; charset=utf-8");
  EXPECT_EQ(response.Body,
            "Hello, John Doe!\n"
            "Your form has arrived with these fields:\n"
            "Name: John Doe\n"
            "Birthdate: 10/10/77\n"
            "Account: 123456\n"
            "Note: caf\xC3\xA9  line\n"
            "Received at 2023-11-14 22:13:20 UTC.\n");
  // Empty and missing values, and a query in the address.
  const TzqServerResponse empty =
      AnswerRequest(Request("POST", std::string(kFormHandlerPath) + "?x=1",
                            "Name=&Birthdate&&Account=", "Application/X-WWW-Form-Urlencoded; charset=utf-8"),
                    kArrival);
  EXPECT_EQ(empty.Body.substr(0, empty.Body.find("Received")),
            "Hello!\nYour form has arrived with these fields:\nName: \nBirthdate: \nAccount: \n");
}

TEST(FormHandler, PagesCarryTheRealFormAndTheSupportText) {
  const TzqServerResponse form = AnswerRequest(Request("GET", kFormPagePath, "", ""), kArrival);
  EXPECT_EQ(form.Status, 200);
  EXPECT_EQ(form.ContentType, "text/html; charset=utf-8");
  for (const char* part :
       {"method=\"post\"", "action=\"serverformpost.asp\"", "enctype=\"application/x-www-form-urlencoded\"",
        "name=\"Name\"", "name=\"Birthdate\"", "name=\"Account\""})
    EXPECT_NE(form.Body.find(part), std::string::npos) << part;
  const TzqServerResponse support = AnswerRequest(Request("GET", kSupportPagePath, "", ""), kArrival);
  EXPECT_EQ(support.Status, 200);
  EXPECT_NE(support.Body.find("support"), std::string::npos);
}

TEST(FormHandler, OtherAddressesMethodsAndBodiesAreRefused) {
  const TzqServerResponse missing = AnswerRequest(Request("GET", "/products/quorvex/demos/other.asp"), kArrival);
  EXPECT_EQ(missing.Status, 404);
  EXPECT_FALSE(missing.Body.empty());
  EXPECT_FALSE(missing.Close);
  const TzqServerResponse getForm = AnswerRequest(Request("GET", kFormHandlerPath), kArrival);
  EXPECT_EQ(getForm.Status, 405);
  ASSERT_EQ(getForm.Fields.size(), 1u);
  EXPECT_EQ(getForm.Fields[0], (std::pair<std::string, std::string>("Allow", "POST")));
  EXPECT_EQ(AnswerRequest(Request("POST", kFormPagePath), kArrival).Status, 405);
  EXPECT_EQ(AnswerRequest(Request("POST", kFormHandlerPath, "{}", "application/json"), kArrival).Status, 415);
  EXPECT_EQ(AnswerRequest(Request("POST", kFormHandlerPath, "Name=x", ""), kArrival).Status, 415);
}

TEST(FormHandler, AnswersAreFramedByLengthAndSayWhetherTheConnectionStays) {
  TzqServerResponse response = AnswerRequest(Request("GET", "/nothing"), kArrival);
  const std::string kept = RenderResponse(response, true, kArrival);
  EXPECT_EQ(kept,
            "HTTP/1.1 404 Not Found\r\n"
            "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
            "Server: zq_formhandler\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "Content-Length: 30\r\n"
            "Connection: keep-alive\r\n"
            "\r\n"
            "There is nothing at /nothing.\n");
  EXPECT_NE(RenderResponse(response, false, kArrival).find("\r\nConnection: close\r\n"), std::string::npos);
  const std::string bad = RenderResponse(BadRequestResponse("Malformed request line"), true, kArrival);
  EXPECT_EQ(bad.substr(0, bad.find("\r\n")), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(bad.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(bad.substr(bad.find("\r\n\r\n") + 4), "Malformed request line.\n");
}

}  // namespace
}  // namespace zq

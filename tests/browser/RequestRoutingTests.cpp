#include <gtest/gtest.h>

#include <string>

#include "Ambrel_Host/browser/BrowserRequest.h"
#include "Ambrel_Host/browser/HttpRequestHead.h"

namespace ambrel {
namespace {

constexpr std::string_view kCode = "ABCDEFGHJKLM";  // normalised
constexpr std::string_view kUpgradeHeaders =
    "\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: k==";

BrowserRequest routeOf(const std::string& head, std::string_view code = kCode) {
  auto parsed = HttpRequestHead::parse(head);
  EXPECT_TRUE(parsed) << head;
  return parsed ? BrowserRequest::route(*parsed, code) : BrowserRequest{};
}

std::string answerOf(const BrowserRequest& r) {
  switch (r.kind) {
    case BrowserRequest::Kind::status: return r.status;
    case BrowserRequest::Kind::page: return "page";
    case BrowserRequest::Kind::upgrade: return "upgrade";
  }
  return {};
}

TEST(RequestRoutingTest, AnswersEachRequestAsTheServerMust) {
  struct Case {
    std::string head;
    std::string answer;
  };
  const std::string ws = std::string(kUpgradeHeaders);
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: h", "page"},
      {"GET /index.html?lang=en&x HTTP/1.1", "page"},
      {"GET  /   HTTP/1.1", "page"},  // empty pieces of the request line are dropped
      {"POST / HTTP/1.1\r\nContent-Length: 0", "405 Method Not Allowed"},
      {"get / HTTP/1.1", "405 Method Not Allowed"},
      {"GET", "405 Method Not Allowed"},
      {"", "405 Method Not Allowed"},
      {"GET /favicon.ico HTTP/1.1", "404 Not Found"},
      {"GET /index.htm HTTP/1.1", "404 Not Found"},
      {"GET /ws/ HTTP/1.1" + ws, "404 Not Found"},
      // The access code: normalised before the comparison, percent-decoded first.
      {"GET /ws?code=ABCDEFGHJKLM HTTP/1.1" + ws, "upgrade"},
      {"GET /ws?code=abcdef-ghjklm HTTP/1.1" + ws, "upgrade"},
      {"GET /ws?code=ABC%2DDEF%20GHJ%2dklm HTTP/1.1" + ws, "upgrade"},
      {"GET /ws?x=1&&code=abc-def-ghj-klm&code=wrong HTTP/1.1" + ws, "upgrade"},
      {"GET /ws HTTP/1.1" + ws, "403 Forbidden"},
      {"GET /ws?code= HTTP/1.1" + ws, "403 Forbidden"},
      {"GET /ws?code HTTP/1.1" + ws, "403 Forbidden"},
      {"GET /ws?codes=ABCDEFGHJKLM HTTP/1.1" + ws, "403 Forbidden"},
      {"GET /ws?code=ABCDEFGHJKLX HTTP/1.1" + ws, "403 Forbidden"},
      {"GET /ws?code=ABCDEFGHJKL%4 HTTP/1.1" + ws, "403 Forbidden"},  // bad escape kept as it is
      // The code is checked before the upgrade headers.
      {"GET /ws HTTP/1.1", "403 Forbidden"},
      // Header names and the upgrade value in any case; nothing else is checked.
      {"GET /ws?code=ABCDEFGHJKLM HTTP/1.1\r\nUPGRADE:WebSocket\r\nsec-websocket-KEY:  k  ",
       "upgrade"},
      {"GET /ws?code=ABCDEFGHJKLM HTTP/1.1", "400 Bad Request"},
      {"GET /ws?code=ABCDEFGHJKLM HTTP/1.1\r\nUpgrade: websocket", "400 Bad Request"},
      {"GET /ws?code=ABCDEFGHJKLM HTTP/1.1\r\nSec-WebSocket-Key: k", "400 Bad Request"},
      {"GET /ws?code=ABCDEFGHJKLM HTTP/1.1\r\nUpgrade: h2c\r\nSec-WebSocket-Key: k", "400 Bad Request"},
      // A later header replaces an earlier one of the same name.
      {"GET /ws?code=ABCDEFGHJKLM HTTP/1.1\r\nUpgrade: websocket\r\nupgrade: h2c\r\n"
       "Sec-WebSocket-Key: k",
       "400 Bad Request"},
  };
  for (const auto& c : cases) EXPECT_EQ(answerOf(routeOf(c.head)), c.answer) << c.head;
}

TEST(RequestRoutingTest, RefusesEveryUpgradeBeforeACodeIsSet) {
  EXPECT_EQ(answerOf(routeOf("GET /ws?code= HTTP/1.1" + std::string(kUpgradeHeaders), "")),
            "403 Forbidden");
  EXPECT_EQ(answerOf(routeOf("GET /ws?code=ABC HTTP/1.1" + std::string(kUpgradeHeaders), "")),
            "403 Forbidden");
  EXPECT_EQ(answerOf(routeOf("GET / HTTP/1.1", "")), "page");
}

TEST(RequestRoutingTest, AcceptValueFollowsRFC6455) {
  // The example of RFC 6455, section 1.3.
  EXPECT_EQ(BrowserRequest::acceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  auto r = routeOf("GET /ws?code=ABCDEFGHJKLM HTTP/1.1\r\nUpgrade: websocket\r\n"
                   "Sec-WebSocket-Key:   dGhlIHNhbXBsZSBub25jZQ==\t");
  EXPECT_EQ(r.accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(BrowserRequest::upgradeResponse(r.accept),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(RequestRoutingTest, ResponsesCarryTheirExactBytes) {
  EXPECT_EQ(BrowserRequest::statusResponse("404 Not Found"),
            "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(BrowserRequest::pageHead(1234),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 1234\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
}

TEST(RequestRoutingTest, CodeParameterAndPercentDecoding) {
  EXPECT_EQ(BrowserRequest::codeParameter(""), "");
  EXPECT_EQ(BrowserRequest::codeParameter("code=a%20b"), "a b");
  EXPECT_EQ(BrowserRequest::codeParameter("code=a+b"), "a+b");  // "+" is not a space here
  EXPECT_EQ(BrowserRequest::codeParameter("code=x=y"), "x=y");
  EXPECT_EQ(BrowserRequest::codeParameter("code=100%"), "100%");
  EXPECT_EQ(BrowserRequest::codeParameter("code=%FF"), "%FF");  // not UTF-8 once decoded
  EXPECT_EQ(BrowserRequest::percentDecode("%e2%82%AC"), std::optional<std::string>("€"));
  EXPECT_EQ(BrowserRequest::percentDecode("%G0"), std::nullopt);
  EXPECT_EQ(BrowserRequest::percentDecode("%"), std::nullopt);
}

TEST(HttpRequestHeadTest, FindsTheEndOfTheHead) {
  EXPECT_EQ(HttpRequestHead::findEnd(corvel::asBytes("GET / HTTP/1.1\r\n\r\nrest")), 14u);
  EXPECT_EQ(HttpRequestHead::findEnd(corvel::asBytes("GET / HTTP/1.1\r\n\r")), std::nullopt);
  EXPECT_EQ(HttpRequestHead::findEnd(corvel::asBytes("\r\n\r\n")), 0u);
}

TEST(HttpRequestHeadTest, ParsesHeadersAndRefusesNonUTF8) {
  auto head = HttpRequestHead::parse(
      "GET /ws?a=b HTTP/1.1\r\nX-Name:  spaced value \t\r\nno colon here\r\nEmpty:\r\n:odd");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->method, "GET");
  EXPECT_EQ(head->target, "/ws?a=b");
  EXPECT_EQ(head->path, "/ws");
  EXPECT_EQ(head->query(), "a=b");
  ASSERT_NE(head->header("x-name"), nullptr);
  EXPECT_EQ(*head->header("x-name"), "spaced value");
  EXPECT_EQ(*head->header("empty"), "");
  EXPECT_EQ(*head->header(""), "odd");
  EXPECT_EQ(head->headers.size(), 3u);

  EXPECT_FALSE(HttpRequestHead::parse("GET /\xC3 HTTP/1.1"));       // truncated sequence
  EXPECT_FALSE(HttpRequestHead::parse("GET /\xC0\xAF HTTP/1.1"));   // over-long "/"
  EXPECT_FALSE(HttpRequestHead::parse("GET /\xED\xA0\x80 HTTP/1.1"));  // surrogate
  EXPECT_TRUE(HttpRequestHead::parse("GET /\xC3\xA9 HTTP/1.1"));
}

}  // namespace
}  // namespace ambrel

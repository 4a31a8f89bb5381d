#include "Protocol.hpp"

#include <gtest/gtest.h>

#include <string>

namespace P = Tvwrapd::Protocol;

namespace {

// A request with one member's raw JSON replaced (or, with `extra`, one more member appended).
std::string request_with(std::string_view member, std::string_view raw,
                         std::string_view extra = {}) {
    std::string out = "{";
    const std::pair<std::string_view, std::string_view> members[] = {
        {"serializer_version", "\"1.0\""},
        {"namespace", "\"Tarvok\""},
        {"module", "\"Cron\""},
        {"function", "\"fetch\""},
        {"action", "null"},
        {"env", "{}"},
        {"data", "null"}};
    for (const auto& [name, value] : members) {
        if (out.size() > 1) out += ",";
        out += "\"" + std::string(name) + "\":" + std::string(name == member ? raw : value);
    }
    if (!extra.empty()) out += "," + std::string(extra);
    return out + "}";
}

std::string save_with(std::string_view data) {
    std::string json = request_with("function", "\"save\"");
    return json.replace(json.find("\"data\":null"), 11, "\"data\":" + std::string(data));
}

std::string reason_of(std::string_view json) {
    const auto parsed = P::parse_request(json);
    const auto* bad = std::get_if<P::BadRequest>(&parsed);
    return bad ? bad->reason : "(accepted)";
}

}  // namespace

TEST(ProtocolParse, FetchAndSaveAreServed) {
    const auto fetch = P::parse_request(request_with("function", "\"fetch\""));
    ASSERT_TRUE(std::holds_alternative<P::Request>(fetch));
    EXPECT_EQ(std::get<P::Request>(fetch).function, P::Function::fetch);

    const auto save = P::parse_request(save_with("{\"crontab\":\"* * * * * date\\n\"}"));
    ASSERT_TRUE(std::holds_alternative<P::Request>(save));
    EXPECT_EQ(std::get<P::Request>(save).function, P::Function::save);
    EXPECT_EQ(std::get<P::Request>(save).crontab, "* * * * * date\n");
}

TEST(ProtocolParse, CrontabBytesSurviveEscapesAndNonUtf8) {
    const std::string json = save_with("{\"crontab\":\"\\u00e9\\ud83d\\ude00 \xff\xfe\\u0000\"}");
    const auto parsed = P::parse_request(json);
    ASSERT_TRUE(std::holds_alternative<P::Request>(parsed)) << reason_of(json);
    EXPECT_EQ(std::get<P::Request>(parsed).crontab,
              std::string("\xc3\xa9\xf0\x9f\x98\x80 \xff\xfe\0", 10));
}

TEST(ProtocolParse, EnvMayBeNullOrAMapOfTexts) {
    EXPECT_EQ(reason_of(request_with("env", "null")), "(accepted)");
    EXPECT_EQ(reason_of(request_with("env", "{\"TEAM_USER\":\"x\",\"ZUL50\":\"\"}")), "(accepted)");
    EXPECT_EQ(reason_of(request_with("env", "{\"TEAM_USER\":1}")),
              "The env value of 'TEAM_USER' must be a text");
    EXPECT_EQ(reason_of(request_with("env", "[]")), "The env member must be a map of texts");
}

TEST(ProtocolParse, MalformedTextIsRefused) {
    EXPECT_EQ(reason_of(""), "Request is not valid JSON: The document is empty. (at byte 0)");
    EXPECT_EQ(reason_of("{\"serializer_version\":"),
              "Request is not valid JSON: Invalid value. (at byte 22)");
    EXPECT_EQ(reason_of(request_with("data", "null") + "x"),
              "Request is not valid JSON: The document root must not be followed by other values. "
              "(at byte " +
                  std::to_string(request_with("data", "null").size()) + ")");
    EXPECT_EQ(reason_of(std::string("{\"a\":1}\0{}", 10)), "Request contains a NUL byte");
    EXPECT_EQ(reason_of("[]"), "Request is not a JSON object");
    EXPECT_EQ(reason_of("\"fetch\""), "Request is not a JSON object");
    // Deep nesting is read without recursion: an error, not a blown stack.
    EXPECT_EQ(reason_of(std::string(200000, '[')).substr(0, 27), "Request is not valid JSON: ");
}

TEST(ProtocolParse, ShapeMustBeExactlyTheSevenMembers) {
    EXPECT_EQ(reason_of("{}"), "Missing member 'serializer_version'");
    EXPECT_EQ(reason_of(request_with("", "", "\"user\":\"root\"")), "Unexpected member 'user'");
    EXPECT_EQ(reason_of(request_with("", "", "\"data\":null")), "Member 'data' appears twice");
    std::string six = request_with("", "");
    six.replace(six.find(",\"action\":null"), 14, "");
    EXPECT_EQ(reason_of(six), "Missing member 'action'");
}

TEST(ProtocolParse, EveryMemberHasItsType) {
    EXPECT_EQ(reason_of(request_with("serializer_version", "1.0")),
              "The serializer_version must be a text");
    EXPECT_EQ(reason_of(request_with("serializer_version", "\"2.0\"")),
              "Unsupported serializer_version '2.0' (expected 1.0)");
    EXPECT_EQ(reason_of(request_with("namespace", "null")), "The namespace must be a text");
    EXPECT_EQ(reason_of(request_with("module", "[\"Cron\"]")), "The module must be a text");
    EXPECT_EQ(reason_of(request_with("function", "true")), "The function must be a text");
    EXPECT_EQ(reason_of(request_with("action", "\"list\"")), "The action must be null");
    EXPECT_EQ(reason_of(request_with("data", "{}")), "A fetch takes no data (data must be null)");
}

TEST(ProtocolParse, OnlyTheCronFunctionsAreKnown) {
    EXPECT_EQ(reason_of(request_with("function", "\"delete\"")),
              "Unknown function 'Tarvok::Cron::delete'");
    EXPECT_EQ(reason_of(request_with("namespace", "\"Other\"")),
              "Unknown function 'Other::Cron::fetch'");
    EXPECT_EQ(reason_of(request_with("module", "\"cron\"")),
              "Unknown function 'Tarvok::cron::fetch'");
    const auto parsed = P::parse_request(request_with("function", "\"x\\ny\""));
    ASSERT_TRUE(std::holds_alternative<P::BadRequest>(parsed));
    EXPECT_EQ(std::get<P::BadRequest>(parsed).function, "x\\x0Ay");
}

TEST(ProtocolParse, SaveNeedsExactlyTheCrontabText) {
    for (const char* data :
         {"null", "{}", "{\"crontab\":1}", "{\"crontab\":null}", "\"* * * * * x\"",
          "{\"crontab\":\"\",\"user\":\"root\"}", "{\"Crontab\":\"\"}"}) {
        EXPECT_EQ(reason_of(save_with(data)), "A save needs data {\"crontab\": TEXT}") << data;
    }
}

TEST(ProtocolAnswer, ShapesAreExact) {
    EXPECT_EQ(P::fetch_answer("", false),
              R"({"status":1,"statusmsg":"OK","data":{"crontab":"","denied":0}})");
    EXPECT_EQ(
        P::fetch_answer("* * * * * a \"b\"\n", true),
        R"({"status":1,"statusmsg":"OK","data":{"crontab":"* * * * * a \"b\"\n","denied":1}})");
    EXPECT_EQ(P::save_answer(true, "ignored"),
              R"({"status":1,"statusmsg":"OK","data":{"status":1,"statusmsg":""}})");
    EXPECT_EQ(
        P::save_answer(false, "line 3: bad minute '61' (0-59)"),
        R"j({"status":1,"statusmsg":"OK","data":{"status":0,"statusmsg":"line 3: bad minute '61' (0-59)"}})j");
    EXPECT_EQ(P::error_answer("No"), R"({"status":0,"error":1,"statusmsg":"No","data":null})");
}

TEST(ProtocolAnswer, CrontabBytesGoOutUnchanged) {
    const std::string text("\xff\xfe caf\xc3\xa9 /x\t\x01", 13);
    EXPECT_EQ(P::fetch_answer(text, false),
              "{\"status\":1,\"statusmsg\":\"OK\",\"data\":{\"crontab\":\"\xff\xfe caf\xc3\xa9 "
              "/x\\t\\u0001\",\"denied\":0}}");
}

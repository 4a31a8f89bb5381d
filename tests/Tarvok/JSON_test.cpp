#include "Tarvok/JSON.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/UniqueFd.hpp"
#include "support/SandboxRoot.hpp"

namespace JSON = Tarvok::JSON;
using namespace std::string_literals;
using Tarvok::Exception::JSONDecodeFailure;

namespace {

JSON::Document string_document(std::string_view bytes) {
    JSON::Document document;
    static_cast<JSON::Value&>(document) = JSON::text(bytes, document.GetAllocator());
    return document;
}

JSON::Document loaded(std::string_view text) {
    JSON::Loaded value = JSON::Load(text);
    if (!value) throw std::runtime_error("decoded to nothing");
    return std::move(*value);
}

std::string param(const JSONDecodeFailure& e, std::string_view name) {
    const auto* value = e.get(name);
    return value ? std::get<std::string>(*value) : std::string("<absent>");
}

// Decodes `text` expecting a failure and returns it.
JSONDecodeFailure load_failure(std::string text,
                               const std::optional<std::string>& source = std::nullopt) {
    try {
        JSON::Load(text, source);
    } catch (const JSONDecodeFailure& e) {
        return e;
    }
    ADD_FAILURE() << "decoded: " << text;
    return Tarvok::Exception::create<JSONDecodeFailure>(std::string());
}

// A file under a fresh sandbox root, opened for reading.
struct TempInput {
    TestSupport::SandboxRoot root;
    std::string path;
    Tarvok::UniqueFd fd;
    explicit TempInput(std::string_view content) : path(root.path("/input.json")) {
        TestSupport::write_file(path, content);
        fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    }
};

std::string read_rest(int fd) {
    std::string rest;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) rest.append(buffer, n);
    return rest;
}

}  // namespace

TEST(JSONBytes, EveryByteSurvivesDumpThenLoad) {
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    for (const std::string& bytes :
         {all, std::string("caf\xE9 \xFF\xFE Latin-1"),
          std::string("broken \xC3 \xE2\x82 \xED\xA0\x80"), std::string("nul\0inside\0", 11),
          std::string("* * * * * /bin/true # \xC3\xA9t\xC3\xA9\n")}) {
        std::string text = JSON::Dump(string_document(bytes));
        EXPECT_EQ(JSON::view(loaded(text)), bytes);
    }
}

TEST(JSONBytes, DumpWritesHighBytesRawAndEscapesOnlyWhatJSONNeeds) {
    EXPECT_EQ(JSON::Dump(string_document("\xE9\xC3\xA9\x7F/")), "\"\xE9\xC3\xA9\x7F/\"");
    EXPECT_EQ(JSON::Dump(string_document(std::string("\"\\\n\t\x01\0", 6))),
              R"("\"\\\n\t\u0001\u0000")");
}

TEST(JSONBytes, RawAndEscapedCharactersDecodeToTheSameBytes) {
    EXPECT_EQ(JSON::view(loaded(R"("\u00e9")")), "\xC3\xA9");
    EXPECT_EQ(JSON::view(loaded(R"("\uD83D\uDE00")")), "\xF0\x9F\x98\x80");
    EXPECT_EQ(JSON::view(loaded(R"("a\u0000b\u0022")")), std::string("a\0b\"", 4));
    EXPECT_EQ(JSON::view(loaded(R"("\\u0041")")), "\\u0041");
    // Keys too, and lookups by key never stop at a NUL.
    const JSON::Document object = loaded(R"({"k\u0000x":1,"k":2})");
    EXPECT_EQ(JSON::member(object, std::string_view("k\0x", 3))->GetInt(), 1);
    EXPECT_EQ(JSON::member(object, "k")->GetInt(), 2);
}

TEST(JSONLoad, RewritesTheCallersText) {
    std::string text = R"(["\u00e9"])";
    JSON::Load(text);
    EXPECT_EQ(text, "[\"\xC3\xA9\"]");
}

TEST(JSONLoad, NullIsNothingAndDistinctFromZeroFalseAndEmpty) {
    EXPECT_FALSE(JSON::Load(std::string_view("null")).has_value());
    EXPECT_FALSE(JSON::Load(std::string_view(" null\n")).has_value());

    const JSON::Document zero = loaded("0");
    EXPECT_TRUE(zero.IsInt());
    EXPECT_EQ(zero.GetInt(), 0);
    EXPECT_TRUE(loaded("false").IsFalse());
    EXPECT_TRUE(loaded("true").IsTrue());
    EXPECT_TRUE(loaded(R"("")").IsString());
    EXPECT_TRUE(loaded("[]").IsArray());
    EXPECT_EQ(loaded("[]").Size(), 0u);
    EXPECT_TRUE(loaded("[null]")[0].IsNull());
}

TEST(JSONLoad, TextThatIsNotOneValueRaisesWithMessageSourceAndText) {
    for (const std::string& text : std::initializer_list<std::string>{
             "", " \n\t ", "{\"a\":1}x", "{\"a\":1} {}", "[1,]", "[1] // c", "{'a':1}", "tru",
             "\"open", "01", "[1]\0"s, "\x7B\0\x7D"s}) {
        SCOPED_TRACE(text);
        const JSONDecodeFailure e = load_failure(text);
        EXPECT_FALSE(param(e, "error").empty());
        EXPECT_EQ(param(e, "path"), "<absent>");
        EXPECT_EQ(param(e, "dataref"), text);
    }
    // Text after a NUL byte is still text after the value.
    EXPECT_NE(param(load_failure(std::string("{}\0{}", 5)), "error").find("offset 2"),
              std::string::npos);

    const JSONDecodeFailure named = load_failure("{", "answer.json");
    EXPECT_EQ(param(named, "path"), "answer.json");
    EXPECT_TRUE(Tarvok::Exception::is_a(named, "JSONDecodeFailure"));
    EXPECT_NE(std::string(named.what()).find("answer.json"), std::string::npos);
}

TEST(JSONLoad, TheFailureCarriesTheRewrittenText) {
    EXPECT_EQ(param(load_failure(R"(["\u00e9")"), "dataref"), "[\"\xC3\xA9\"");
}

TEST(JSONLoad, MisplacedSurrogatesAreNotDecodeFailures) {
    std::string text = R"(["\uDE00"])";
    EXPECT_THROW(JSON::Load(text), Tarvok::Error);
}

TEST(JSONLoad, NestingIsLimitedTo512Levels) {
    const auto nested = [](std::size_t depth) {
        return std::string(depth, '[') + std::string(depth, ']');
    };
    EXPECT_NO_THROW(JSON::Load(nested(512)));
    EXPECT_THROW(JSON::Load(nested(513)), JSONDecodeFailure);
    EXPECT_THROW(JSON::Load(std::string(300000, '[')), JSONDecodeFailure);
    EXPECT_THROW(JSON::Load(std::string(300000, '{')), JSONDecodeFailure);
    std::string objects;
    for (int i = 0; i < 600; ++i) objects += "{\"a\":";
    EXPECT_THROW(JSON::Load(objects + "1" + std::string(600, '}')), JSONDecodeFailure);
}

TEST(JSONLoad, RelaxedSyntaxAllowsCommentsAndTrailingCommas) {
    const std::string text = "{\"a\":[1,2,], // note\n \"b\":1, /* more */}";
    EXPECT_THROW(JSON::Load(text), JSONDecodeFailure);
    const JSON::Loaded value = JSON::LoadRelaxed(text);
    ASSERT_TRUE(value);
    EXPECT_EQ((*value)["a"].Size(), 2u);
    EXPECT_THROW(JSON::LoadRelaxed(std::string_view("{\"a\":1} x")), JSONDecodeFailure);
}

TEST(JSONLoad, ARepeatedKeyKeepsTheLastValue) {
    const JSON::Document small = loaded(R"({"a":1,"b":2,"a":3})");
    EXPECT_EQ(small.MemberCount(), 2u);
    EXPECT_EQ(JSON::member(small, "a")->GetInt(), 3);
    EXPECT_EQ(JSON::Dump(small), R"({"b":2,"a":3})");

    std::string many = "{";
    for (int i = 0; i < 100; ++i)
        many += "\"k" + std::to_string(i % 10) + "\":" + std::to_string(i) + ",";
    many += "\"inner\":{\"x\":1,\"x\":[2]}}";
    const JSON::Document big = loaded(many);
    EXPECT_EQ(big.MemberCount(), 11u);
    EXPECT_EQ(JSON::member(big, "k3")->GetInt(), 93);
    EXPECT_EQ(JSON::Dump(*JSON::member(big, "inner")), R"({"x":[2]})");
}

TEST(JSONLoad, NumbersSurviveARoundTrip) {
    for (const char* text : {"-0.1", "1e-300", "0.30000000000000004", "18446744073709551615",
                             "-9223372036854775808", "123456789.123456789"}) {
        const JSON::Document first = loaded(text);
        const JSON::Document again = loaded(JSON::Dump(first));
        EXPECT_TRUE(first == again) << text << " became " << JSON::Dump(first);
    }
}

TEST(JSONLoad, NumbersDecodeToTheValueTheyWrite) {
    EXPECT_EQ(loaded("0e90").GetDouble(), 0.0);
    EXPECT_EQ(loaded("-0.0e-900").GetDouble(), 0.0);
    EXPECT_EQ(loaded("1e-400").GetDouble(), 0.0);
    EXPECT_EQ(loaded("5e-324").GetDouble(), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(loaded("1" + std::string(80, '0') + ".0").GetDouble(), 1e80);
    EXPECT_EQ(loaded("0.1").GetDouble(), 0.1);
    EXPECT_EQ(loaded("-9223372036854775808").GetInt64(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(loaded("18446744073709551615").GetUint64(),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(loaded("18446744073709551616").GetDouble(), 18446744073709551616.0);
    EXPECT_EQ(loaded("-1").GetInt(), -1);
    EXPECT_THROW(JSON::Load(std::string_view("1.8e308")), JSONDecodeFailure);
    EXPECT_THROW(JSON::Load(std::string_view("[1e999]")), JSONDecodeFailure);
}

TEST(JSONDump, FormsOfAnObject) {
    const JSON::Document value = loaded(R"({"b":{"z":1,"y":[true,null]},"a":"x/y","c":{}})");
    EXPECT_EQ(JSON::Dump(value), R"({"b":{"z":1,"y":[true,null]},"a":"x/y","c":{}})");
    EXPECT_EQ(JSON::canonical_dump(value), R"({"a":"x/y","b":{"y":[true,null],"z":1},"c":{}})");
    EXPECT_EQ(JSON::pretty_canonical_dump(value),
              "{\n"
              "   \"a\" : \"x/y\",\n"
              "   \"b\" : {\n"
              "      \"y\" : [\n"
              "         true,\n"
              "         null\n"
              "      ],\n"
              "      \"z\" : 1\n"
              "   },\n"
              "   \"c\" : {}\n"
              "}\n");
    EXPECT_EQ(JSON::pretty_dump(loaded(R"({"b":1,"a":[]})")),
              "{\n   \"b\" : 1,\n   \"a\" : []\n}\n");
    EXPECT_EQ(JSON::pretty_dump(loaded("7")), "7\n");
}

TEST(JSONDump, CanonicalOrderIsBytewise) {
    EXPECT_EQ(JSON::canonical_dump(loaded("{\"\xC3\xA9\":1,\"z\":2,\"Z\":3,\"\":4}")),
              "{\"\":4,\"Z\":3,\"z\":2,\"\xC3\xA9\":1}");
}

TEST(JSONDump, SafeDumpEscapesEverySlash) {
    const std::string text = JSON::SafeDump(string_document("</script> a/b//"));
    EXPECT_EQ(text, R"("<\/script> a\/b\/\/")");
    EXPECT_EQ(JSON::view(loaded(text)), "</script> a/b//");
}

TEST(JSONDump, ValuesJSONCannotCarryRaise) {
    JSON::Document nan;
    nan.SetDouble(std::numeric_limits<double>::quiet_NaN());
    EXPECT_THROW(JSON::Dump(nan), Tarvok::Error);

    JSON::Document deep;
    JSON::Value* at = &deep;
    for (int i = 0; i < 600; ++i) {
        at->SetArray();
        at->PushBack(JSON::Value(), deep.GetAllocator());
        at = &(*at)[0];
    }
    EXPECT_THROW(JSON::Dump(deep), Tarvok::Error);
}

namespace {
struct Crontab {
    std::string text;
    JSON::Value TO_JSON(JSON::Allocator& allocator) const {
        JSON::Value object(rapidjson::kObjectType);
        object.AddMember("crontab", JSON::text(text, allocator), allocator);
        return object;
    }
};
}  // namespace

TEST(JSONDump, ObjectsThatConvertThemselves) {
    EXPECT_EQ(JSON::canonical_dump(Crontab{"@daily x"}), R"({"crontab":"@daily x"})");
}

TEST(JSONDumpFile, WritesPathsAndDescriptors) {
    TestSupport::SandboxRoot root;
    const std::string path = root.path("/out.json");
    const JSON::Document value = loaded(R"({"b":1,"a":2})");

    ASSERT_TRUE(JSON::DumpFile(path, value));
    EXPECT_EQ(TestSupport::read_file(path), R"({"b":1,"a":2})");
    ASSERT_TRUE(JSON::DumpFileCanonical(path, value));
    EXPECT_EQ(TestSupport::read_file(path), R"({"a":2,"b":1})");
    ASSERT_TRUE(JSON::DumpFilePrettyCanonical(path, value));
    EXPECT_EQ(TestSupport::read_file(path), "{\n   \"a\" : 2,\n   \"b\" : 1\n}\n");

    {
        Tarvok::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        ASSERT_TRUE(JSON::DumpFilePretty(fd.get(), loaded("[]")));
        EXPECT_EQ(::fcntl(fd.get(), F_GETFD), FD_CLOEXEC) << "descriptor left open";
    }
    EXPECT_EQ(TestSupport::read_file(path), "{\n   \"a\" : 2,\n   \"b\" : 1\n}\n[]\n");

    EXPECT_FALSE(JSON::DumpFile(root.path("/no/such/dir/out.json"), value));
    EXPECT_FALSE(JSON::DumpFile(std::string("out\0.json", 9), value));
    EXPECT_FALSE(JSON::DumpFile(-1, value));
}

TEST(JSONDumpFile, AValueThatCannotBeEncodedLeavesTheFileAlone) {
    TestSupport::SandboxRoot root;
    const std::string path = root.path("/keep.json");
    TestSupport::write_file(path, "[1]");
    JSON::Document nan;
    nan.SetDouble(std::numeric_limits<double>::infinity());
    EXPECT_THROW(JSON::DumpFile(path, nan), Tarvok::Error);
    EXPECT_EQ(TestSupport::read_file(path), "[1]");
}

TEST(JSONLoadFile, LimitAppliesToDescriptorsOnly) {
    std::string big = "[\"" + std::string(70000 - 4, 'x') + "\"]";
    ASSERT_EQ(big.size(), 70000u);
    TempInput input(big);

    EXPECT_THROW(JSON::SafeLoadFile(input.fd.get()), JSONDecodeFailure);
    EXPECT_EQ(read_rest(input.fd.get()).size(), 70000u - 65535u) << "read beyond the limit";

    const JSON::Loaded whole = JSON::SafeLoadFile(input.path);
    ASSERT_TRUE(whole);
    EXPECT_EQ(JSON::view((*whole)[0]).size(), 69996u);
}

TEST(JSONLoadFile, DescriptorsAreReadFromWhereTheyStand) {
    TempInput input("xx{\"a\":1}");
    ASSERT_EQ(::lseek(input.fd.get(), 2, SEEK_SET), 2);
    const JSON::Loaded value = JSON::LoadFile(input.fd.get());
    ASSERT_TRUE(value);
    EXPECT_EQ(JSON::member(*value, "a")->GetInt(), 1);
}

TEST(JSONLoadFile, NamesTheFileInFailures) {
    TempInput broken("{\"a\":");
    try {
        JSON::LoadFile(broken.path);
        FAIL();
    } catch (const JSONDecodeFailure& e) {
        EXPECT_EQ(param(e, "path"), broken.path);
    }
    try {
        JSON::LoadFile(broken.fd.get(), "the answer");
        FAIL();
    } catch (const JSONDecodeFailure& e) {
        EXPECT_EQ(param(e, "path"), "the answer");
    }

    TempInput empty("");
    try {
        JSON::LoadFile(empty.path);
        FAIL();
    } catch (const Tarvok::Error& e) {
        EXPECT_NE(std::string(e.what()).find(empty.path), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("empty"), std::string::npos) << e.what();
    }
    const std::string missing = empty.root.path("/missing.json");
    try {
        JSON::LoadFileRelaxed(missing);
        FAIL();
    } catch (const Tarvok::Error& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(std::strerror(ENOENT)), std::string::npos) << e.what();
    }
}

TEST(JSONLoadFile, TheUtf8CheckRefusesOtherEncodings) {
    TempInput latin1("[\"caf\xE9\"]");
    EXPECT_THROW(JSON::LoadFile(latin1.path, "", JSON::DECODE_UTF8), Tarvok::Error);
    EXPECT_THROW(JSON::LoadFileNoSetUTF8(latin1.path), Tarvok::Error);
    const JSON::Loaded unchecked = JSON::LoadFile(latin1.path, "", JSON::NO_DECODE_UTF8);
    ASSERT_TRUE(unchecked);
    EXPECT_EQ(JSON::view((*unchecked)[0]), "caf\xE9");

    TempInput utf8("[\"caf\xC3\xA9\"] // ok");
    const JSON::Loaded checked = JSON::LoadFileRelaxed(utf8.path, "", JSON::DECODE_UTF8);
    ASSERT_TRUE(checked);
    EXPECT_EQ(JSON::view((*checked)[0]), "caf\xC3\xA9");
}

TEST(JSONSniff, Text) {
    for (const char* text : {"[", "{}", " \"x", "\n\t\r 7", "0"})
        EXPECT_TRUE(JSON::looks_like_json(text)) << text;
    for (const char* text : {"", "   ", "-1", "true", "false", "null", "x", "\f{"}) {
        EXPECT_FALSE(JSON::looks_like_json(text)) << text;
    }
}

TEST(JSONSniff, DescriptorIsLeftWhereItWas) {
    TempInput input("ab \n {\"a\":1}");
    ASSERT_EQ(::lseek(input.fd.get(), 2, SEEK_SET), 2);
    EXPECT_TRUE(JSON::looks_like_json(input.fd.get()));
    EXPECT_EQ(read_rest(input.fd.get()), " \n {\"a\":1}");

    TempInput blank("  \n");
    EXPECT_FALSE(JSON::looks_like_json(blank.fd.get()));
    EXPECT_EQ(read_rest(blank.fd.get()), "  \n");

    TempInput empty("");
    EXPECT_FALSE(JSON::looks_like_json(empty.fd.get()));
}

TEST(JSONSniff, DescriptorsThatCannotSeekOrReadRaise) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    Tarvok::UniqueFd reader(pipe_fds[0]), writer(pipe_fds[1]);
    ASSERT_EQ(::write(writer.get(), " {", 2), 2);
    EXPECT_THROW(JSON::looks_like_json(reader.get()), Tarvok::Error);
    EXPECT_THROW(JSON::looks_like_json(writer.get()), Tarvok::Error);
}

TEST(JSONBooleans, TruthFollowsTheUsualRules) {
    const JSON::Document falsy = loaded(R"([null, false, 0, 0.0, -0.0, "", "0"])");
    for (const JSON::Value& value : falsy.GetArray()) {
        EXPECT_FALSE(JSON::is_true(value)) << JSON::Dump(value);
        EXPECT_TRUE(JSON::to_bool(value).IsFalse()) << JSON::Dump(value);
    }
    const JSON::Document truthy = loaded(R"([true, 1, -1, 0.5, "00", "0.0", " ", [], {}])");
    for (const JSON::Value& value : truthy.GetArray()) {
        EXPECT_TRUE(JSON::is_true(value)) << JSON::Dump(value);
        EXPECT_TRUE(JSON::to_bool(value).IsTrue()) << JSON::Dump(value);
    }
    EXPECT_TRUE(JSON::to_bool(loaded(R"("false")")).IsFalse());
    EXPECT_TRUE(JSON::to_bool(nullptr).IsFalse());
    EXPECT_FALSE(JSON::is_true(JSON::member(loaded("{}"), "status")));
    EXPECT_TRUE(JSON::true_().IsTrue());
    EXPECT_TRUE(JSON::false_().IsFalse());
    EXPECT_FALSE(JSON::true_().IsNumber());
}

TEST(JSONBuild, ObjectBuilderMakesTheRequestShape) {
    const JSON::Document data = loaded(R"({"crontab":"@daily x"})");
    const std::optional<std::string> no_action;
    JSON::Document request = JSON::ObjectBuilder()
                                 .add("serializer_version", "1.0")
                                 .add("namespace", std::string("Tarvok"))
                                 .add("action", no_action)
                                 .add("env", std::map<std::string, std::string>{{"LANG", "C"}})
                                 .add("data", data)
                                 .add("flag", true)
                                 .add("count", 3)
                                 .add("ratio", 0.5)
                                 .add("none", nullptr)
                                 .release();
    EXPECT_EQ(JSON::Dump(request),
              R"({"serializer_version":"1.0","namespace":"Tarvok","action":null,)"
              R"("env":{"LANG":"C"},"data":{"crontab":"@daily x"},"flag":true,"count":3,)"
              R"("ratio":0.5,"none":null})");
}

TEST(JSONBuild, BuiltValuesOwnTheirStrings) {
    JSON::Document built;
    {
        std::string scratch = "temporary bytes";
        JSON::Value borrowed(rapidjson::kArrayType);
        JSON::Allocator scratch_allocator;
        borrowed.PushBack(rapidjson::StringRef(scratch.data(), scratch.size()), scratch_allocator);
        built = JSON::ObjectBuilder().add("v", borrowed).release();
        scratch.assign(scratch.size(), '#');
    }
    EXPECT_EQ(JSON::Dump(built), R"({"v":["temporary bytes"]})");
}

// An empty string_view may carry no pointer at all; empty names and texts still build and match.
TEST(JSONBuild, EmptyViewsBuildAndFind) {
    JSON::Document built = JSON::ObjectBuilder().add("statusmsg", std::string_view{}).release();
    EXPECT_EQ(JSON::Dump(built), R"({"statusmsg":""})");
    const JSON::Document odd = loaded(R"({"":1})");
    ASSERT_NE(JSON::member(odd, std::string_view{}), nullptr);
    EXPECT_EQ(JSON::member(built, std::string_view{}), nullptr);
}

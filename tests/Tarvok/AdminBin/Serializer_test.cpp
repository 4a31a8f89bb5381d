#include "Tarvok/AdminBin/Serializer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/UniqueFd.hpp"
#include "support/SandboxRoot.hpp"

namespace Serializer = Tarvok::AdminBin::Serializer;
namespace JSON = Tarvok::JSON;
using Tarvok::Exception::JSONDecodeFailure;

TEST(Serializer, AnswerOfTheDaemonDecodes) {
    std::string answer =
        R"({"status":1,"statusmsg":"OK","data":{"crontab":"# caf\u00e9\n@daily x\n","denied":0}})";
    const Serializer::Loaded value = Serializer::Load(answer);
    ASSERT_TRUE(value);
    EXPECT_TRUE(JSON::is_true(JSON::member(*value, "status")));
    const JSON::Value* data = JSON::member(*value, "data");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(JSON::view(*JSON::member(*data, "crontab")), "# caf\xC3\xA9\n@daily x\n");
    EXPECT_NE(answer.find("caf\xC3\xA9"), std::string::npos) << "answer text not rewritten";
}

TEST(Serializer, SafeLoadTakesAnyBytes) {
    for (const std::string bytes : {"[\"caf\xC3\xA9\"]", "[\"caf\xE9\"]"}) {
        std::string text = bytes;
        const Serializer::Loaded value = Serializer::SafeLoad(text);
        ASSERT_TRUE(value);
        EXPECT_EQ("[\"" + std::string(JSON::view((*value)[0])) + "\"]", bytes);
        EXPECT_EQ(text, bytes);
    }
    EXPECT_FALSE(Serializer::SafeLoad(std::string_view("null")));
    EXPECT_THROW(Serializer::SafeLoad(std::string_view("")), JSONDecodeFailure);
}

TEST(Serializer, CloneSharesNothing) {
    JSON::Document original =
        *Serializer::Load(std::string_view(R"({"a":[1,{"b":"x"}],"c":null})"));
    Serializer::Loaded copy = Serializer::clone(original);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(*copy == original);
    original["a"][1]["b"].SetString("changed", original.GetAllocator());
    original["a"].PushBack(2, original.GetAllocator());
    EXPECT_EQ(Serializer::Dump(*copy), R"({"a":[1,{"b":"x"}],"c":null})");
    EXPECT_FALSE(Serializer::clone(JSON::Value()));
}

TEST(Serializer, SafeLoadFileLimitsDescriptorsAndChecksUtf8) {
    TestSupport::SandboxRoot root;
    const std::string path = root.path("/big.json");
    TestSupport::write_file(path, "[\"" + std::string(69996, 'x') + "\"]");
    Tarvok::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_THROW(Serializer::SafeLoadFile(fd.get()), JSONDecodeFailure);
    EXPECT_TRUE(Serializer::SafeLoadFile(path));
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
    EXPECT_TRUE(Serializer::LoadFile(fd.get()));

    const std::string latin1 = root.path("/latin1.json");
    TestSupport::write_file(latin1, "[\"caf\xE9\"]");
    EXPECT_THROW(Serializer::LoadFile(latin1), Tarvok::Error);
    EXPECT_THROW(Serializer::SafeLoadFile(latin1), Tarvok::Error);
}

TEST(Serializer, SniffsLikeTheCodec) {
    EXPECT_TRUE(Serializer::looks_like_serialized_data(" {\"status\":1}"));
    EXPECT_FALSE(Serializer::looks_like_serialized_data("status=1"));
    EXPECT_EQ(Serializer::VERSION, "1.0");
}

#include "Tarvok/Socket/UNIX/Micro.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "Tarvok/Error.hpp"
#include "Tarvok/Socket/Constants.hpp"
#include "support/SandboxRoot.hpp"

namespace Micro = Tarvok::Socket::UNIX::Micro;
namespace Constants = Tarvok::Socket::Constants;

namespace {

// A listening socket at `name`; closed when the object goes.
Tarvok::UniqueFd listen_at(const std::string& name) {
    Tarvok::UniqueFd fd(socket(PF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const Micro::Address address = Micro::unix_address(name);
    if (bind(fd.get(), address.get(), address.length) != 0 || listen(fd.get(), 4) != 0) {
        throw std::runtime_error("cannot listen at " + name);
    }
    return fd;
}

}  // namespace

// Every value is the kernel's, and the C library's macros of the same names stay usable.
TEST(SocketConstants, MatchTheKernelAndLeaveItsMacrosAlone) {
    static_assert(Constants::get("AF_UNIX") == 1 && Constants::get("SO_PEERCRED") == 17);
    const std::pair<const char*, int> kernel[] = {
        {"AF_INET", AF_INET},           {"AF_INET6", AF_INET6},
        {"AF_UNIX", AF_UNIX},           {"IPPROTO_TCP", IPPROTO_TCP},
        {"MSG_NOSIGNAL", MSG_NOSIGNAL}, {"MSG_PEEK", MSG_PEEK},
        {"PF_INET", PF_INET},           {"PF_INET6", PF_INET6},
        {"PROTO_ICMP", IPPROTO_ICMP},   {"PROTO_IP", IPPROTO_IP},
        {"PROTO_TCP", IPPROTO_TCP},     {"PROTO_UDP", IPPROTO_UDP},
        {"SHUT_RD", SHUT_RD},           {"SHUT_RDWR", SHUT_RDWR},
        {"SHUT_WR", SHUT_WR},           {"SOCK_NONBLOCK", SOCK_NONBLOCK},
        {"SOCK_STREAM", SOCK_STREAM},   {"SOL_SOCKET", SOL_SOCKET},
        {"SO_PEERCRED", SO_PEERCRED},   {"SO_REUSEADDR", SO_REUSEADDR},
    };
    ASSERT_EQ(std::size(kernel), Constants::TABLE.size());
    for (const auto& [name, value] : kernel) EXPECT_EQ(Constants::find(name), value) << name;
    EXPECT_FALSE(Constants::find("AF_BOGUS"));
    EXPECT_THROW(Constants::get("AF_BOGUS"), Tarvok::Error);
}

TEST(SocketMicro, PathAndAbstractNamesRoundTrip) {
    const std::string path = "/usr/local/tarvok/var/tvwrapd.sock";
    const std::string packed = Micro::micro_sockaddr_un(path);
    EXPECT_EQ(packed, std::string("\x01\x00", 2) + path + std::string(1, '\0'));
    EXPECT_EQ(Micro::unpack_sockaddr_un(packed), path);
    // A path field padded to the full structure reads back the same.
    EXPECT_EQ(Micro::unpack_sockaddr_un(packed + std::string(40, '\0')), path);

    const std::string abstract = std::string(1, '\0') + "tarvok-test";
    const std::string packed_abstract = Micro::micro_sockaddr_un(abstract);
    EXPECT_EQ(packed_abstract, std::string("\x01\x00", 2) + abstract);
    EXPECT_EQ(Micro::unpack_sockaddr_un(packed_abstract), abstract);
}

TEST(SocketMicro, NamesOverTheLimitRaiseNamingTheExcess) {
    EXPECT_NO_THROW(Micro::micro_sockaddr_un(std::string(107, 'p')));
    EXPECT_NO_THROW(Micro::micro_sockaddr_un(std::string(1, '\0') + std::string(106, 'a')));
    const std::string too_long = "/" + std::string(107, 'p');
    try {
        Micro::micro_sockaddr_un(too_long);
        FAIL() << "no error raised";
    } catch (const Tarvok::Error& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find(too_long), std::string::npos) << text;
        EXPECT_NE(text.find(" 1 "), std::string::npos) << text;
        EXPECT_NE(text.find("107"), std::string::npos) << text;
    }
    EXPECT_THROW(Micro::micro_sockaddr_un(std::string(1, '\0') + std::string(107, 'a')),
                 Tarvok::Error);
    Tarvok::UniqueFd slot;
    EXPECT_THROW(Micro::connect(slot, too_long), Tarvok::Error);
}

TEST(SocketMicro, ConnectReachesListenersByPathAndAbstractName) {
    TestSupport::SandboxRoot root;
    const std::string path = root.path("/listener.sock");
    const auto listener = listen_at(path);
    Tarvok::UniqueFd slot;
    EXPECT_TRUE(Micro::connect(slot, path));
    EXPECT_TRUE(slot.valid());

    const std::string abstract = std::string(1, '\0') + "tarvok-micro-" + std::to_string(getpid());
    const auto abstract_listener = listen_at(abstract);
    Tarvok::UniqueFd abstract_slot;
    EXPECT_TRUE(Micro::connect(abstract_slot, abstract));

    // Nobody listens here: the connect fails, but the slot still holds the socket.
    Tarvok::UniqueFd refused;
    EXPECT_FALSE(Micro::connect(refused, root.path("/nobody.sock")));
    EXPECT_TRUE(refused.valid());
}

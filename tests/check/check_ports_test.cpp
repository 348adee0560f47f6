// The check's port items, run in the process that serves: the window runs the check beside its
// own DHCP and TFTP services.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "check/check.h"
#include "platform/socket.h"

namespace check {
namespace {

// Two ports bound here stand for the services' 67 and 69. The settings are left empty: no
// interface is chosen and the controller's address does not resolve, so nothing is sent.
TEST(CheckPorts, APortThisProcessServesIsServedByThisKestrom) {
    std::vector<platform::UdpSocket> services;
    CheckOptions options;
    options.wait = std::chrono::milliseconds(100);
    for (std::uint16_t* port : {&options.dhcp_port, &options.tftp_port}) {
        auto socket = platform::UdpSocket::open();
        ASSERT_TRUE(socket);
        ASSERT_EQ(platform::BindError::none, socket->bind(platform::kAnyAddress, 0));
        *port = socket->local_endpoint().port;
        services.push_back(std::move(*socket));
    }
    const std::vector<CheckItem> items = run_checks(core::ToolSettings{}, options);
    for (const std::uint16_t port : {options.dhcp_port, options.tftp_port}) {
        const std::string name = "UDP " + std::to_string(port);
        SCOPED_TRACE(name);
        const auto found = std::find_if(items.begin(), items.end(),
                                        [&](const CheckItem& i) { return i.item == name; });
        ASSERT_NE(items.end(), found);
        EXPECT_EQ("served by this kestrom", found->detail)
            << "the process's own socket was taken for another program's";
        EXPECT_EQ(CheckStatus::ok, found->status);
        EXPECT_EQ("", found->fix);
    }
}

}  // namespace
}  // namespace check

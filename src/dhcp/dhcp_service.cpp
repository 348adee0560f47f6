// Placeholder until the service lands.
#include "dhcp/dhcp_service.h"

namespace dhcp {

struct DhcpService::Impl {};

int build_lease_table() { return 0; }

DhcpService::DhcpService(DhcpServiceOptions /*options*/) : impl_(std::make_unique<Impl>()) {}
DhcpService::~DhcpService() = default;
void DhcpService::stop() {}

}  // namespace dhcp

// Placeholder until the service lands.
#include "tftp/tftp_service.h"

namespace tftp {

struct TftpService::Impl {};

TftpService::TftpService(TftpServiceOptions /*options*/) : impl_(std::make_unique<Impl>()) {}
TftpService::~TftpService() = default;
void TftpService::stop() {}

}  // namespace tftp
